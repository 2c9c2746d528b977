// Trace MAC filter commands (116) and their replies (117).

#include "controller/mac_filter.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "libs/ipc/messages.h"
#include "tests/support/ipc_test_bed.h"

namespace {

TEST(MacFilterCommand, ActionsChangeTheFilterAndAnswer) {
    using Set = std::set<std::string>;
    const std::string a = "02:00:00:00:00:0a", b = "02:00:00:00:00:0b";
    const std::string c = "12:00:00:00:00:0a";  // same last octet as a: same hash bucket
    const std::string ok = R"({"error":false})";
    const std::string listed =
        R"({"error":false,"macs":[")" + a + R"(",")" + b + R"(",")" + c + R"("]})";
    // on before, set before, action, MACs (empty: nil), reply, on after, set after
    using Case = std::tuple<bool, Set, uint32_t, std::string, std::string, bool, Set>;
    const std::vector<Case> cases = {
        {false, {a}, 0, "", ok, true, {a}},
        {true, {a}, 1, "", ok, false, {a}},
        {false, {a}, 2, a + " " + b + " 12:00:00:00:00:0A", ok, false, {a, b, c}},
        {false, {a, c}, 3, b + " " + c, ok, false, {a}},
        {true, {}, 4, "", R"({"error":false,"filter_status":true})", true, {}},
        {false, {}, 5, "", R"({"error":false,"macs":[]})", false, {}},
        {false, {c, b, a}, 5, "", listed, false, {a, b, c}},  // in MAC order
        {true, {a, b}, 6, "", ok, true, {}},                  // the switch stays
        {true, {a}, 7, b, R"({"error":true,"cause":"invalid action"})", true, {a}},
        {true, {a}, 9, b, ok, true, {a}},  // unknown: nothing changes
    };
    IpcTestBed bed;
    Trace trace("FILTERTEST");
    for (const auto& [on_before, before, action, macs, reply, on_after, expected] : cases) {
        SCOPED_TRACE(reply + " after action " + std::to_string(action));
        TraceMacFilter& filter = trace.mac_filter() = TraceMacFilter{on_before, {}};
        for (const auto& mac : before) {
            filter.macs.insert(MacAddr::from_str(mac.c_str()));
        }
        IPC_MSG__MAC_FILTER msg;
        msg.action = action;
        msg.macs = macs.empty() ? nullptr : make_shared_string(macs);
        mac_filter_command(msg, trace, bed.port);
        const auto replies = bed.drain_as<IPC_MSG__MAC_FILTER_RESP>();
        ASSERT_EQ(replies.size(), 1u);
        ASSERT_TRUE(replies[0]->result);
        EXPECT_EQ(*replies[0]->result, reply);
        EXPECT_EQ(replies[0]->port, bed.port.id());
        EXPECT_EQ(filter.enabled, on_after);
        Set after;
        for (const MacAddr& mac : filter.macs) {
            after.insert(mac.str());
        }
        EXPECT_EQ(after, expected);
    }
}

}  // namespace
