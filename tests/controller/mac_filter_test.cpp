// Trace MAC filter commands (116) and their replies (117).

#include "controller/mac_filter.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "libs/ipc/ipc_port.h"
#include "libs/ipc/messages.h"
#include "tests/support/ipc_test_bed.h"

namespace {

const std::string kA = "02:00:00:00:00:0a";
const std::string kB = "02:00:00:00:00:0b";
const std::string kC = "12:00:00:00:00:0a";  // same last octet as kA: same hash bucket

TEST(MacFilterCommand, ActionsChangeTheFilterAndAnswer) {
    using Set = std::set<std::string>;
    const std::string ok = R"({"error":false})";
    const std::string listed =
        R"({"error":false,"macs":[")" + kA + R"(",")" + kB + R"(",")" + kC + R"("]})";
    struct Case {
        bool on_before;
        Set before;
        uint32_t action;
        std::string macs;  // empty: nil
        std::string reply;
        bool on_after;
        Set after;
    };
    const std::vector<Case> cases = {
        {false, {kA}, 0, "", ok, true, {kA}},
        {true, {kA}, 1, "", ok, false, {kA}},
        {false, {kA}, 2, kA + " " + kB + " 12:00:00:00:00:0A", ok, false, {kA, kB, kC}},
        {false, {kA, kC}, 3, kB + " " + kC, ok, false, {kA}},
        {true, {}, 4, "", R"({"error":false,"filter_status":true})", true, {}},
        {false, {}, 5, "", R"({"error":false,"macs":[]})", false, {}},
        {false, {kC, kB, kA}, 5, "", listed, false, {kA, kB, kC}},  // in MAC order
        {true, {kA, kB}, 6, "", ok, true, {}},                      // the switch stays
        {true, {kA}, 7, kB, R"({"error":true,"cause":"invalid action"})", true, {kA}},
        {true, {kA}, 9, kB, ok, true, {kA}},  // unknown: nothing changes
    };
    IpcTestBed bed;
    Trace trace("FILTERTEST");
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        const Case& c = cases[i];
        TraceMacFilter& filter = trace.mac_filter() = TraceMacFilter{};
        filter.enabled = c.on_before;
        for (const auto& mac : c.before) {
            filter.macs.insert(MacAddr::from_str(mac.c_str()));
        }
        IPC_MSG__MAC_FILTER msg;
        msg.action = c.action;
        if (!c.macs.empty()) {
            msg.macs = make_shared_string(c.macs);
        }
        mac_filter_command(msg, trace, bed.port);

        const auto replies = bed.drain_as<IPC_MSG__MAC_FILTER_RESP>();
        ASSERT_EQ(replies.size(), 1u);
        ASSERT_TRUE(replies[0]->result);
        EXPECT_EQ(*replies[0]->result, c.reply);
        EXPECT_EQ(replies[0]->port, bed.port.id());
        EXPECT_EQ(filter.enabled, c.on_after);
        Set after;
        for (const MacAddr& mac : filter.macs) {
            after.insert(mac.str());
        }
        EXPECT_EQ(after, c.after);
    }
}

}  // namespace
