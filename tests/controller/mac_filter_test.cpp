// Trace MAC filter commands (116) and their replies (117).

#include "controller/mac_filter.h"

#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "libs/ipc/ipc_port.h"
#include "libs/ipc/messages.h"
#include "tests/support/ipc_test_bed.h"

namespace {

const char* const kA = "02:00:00:00:00:0a";
const char* const kB = "02:00:00:00:00:0b";
const char* const kC = "12:00:00:00:00:0a";  // same last octet as kA: same hash bucket

struct FilterCase {
    const char* label;
    bool enabled_before;
    std::set<std::string> macs_before;
    uint32_t action;
    std::optional<std::string> list;
    std::string reply;
    bool enabled_after;
    std::set<std::string> macs_after;
};

std::set<std::string> texts(const TraceMacFilter& filter) {
    std::set<std::string> out;
    for (const MacAddr& mac : filter.macs) {
        out.insert(mac.str());
    }
    return out;
}

TEST(MacFilterCommand, ActionsChangeTheFilterAndAnswer) {
    const std::string ok = R"({"error":false})";
    const std::vector<FilterCase> cases = {
        {"enable", false, {kA}, 0, std::nullopt, ok, true, {kA}},
        {"add, one already there",
         false,
         {kA},
         2,
         std::string(kA) + " " + kB + " 12:00:00:00:00:0A",
         ok,
         false,
         {kA, kB, kC}},
        {"remove, one not there", false, {kA, kC}, 3, std::string(kB) + " " + kC, ok, false, {kA}},
        {"status", true, {}, 4, std::nullopt, R"({"error":false,"filter_status":true})", true, {}},
        {"list empty", false, {}, 5, std::nullopt, R"({"error":false,"macs":[]})", false, {}},
        {"list in MAC order",
         false,
         {kC, kB, kA},
         5,
         std::nullopt,
         R"({"error":false,"macs":[")" + std::string(kA) + R"(",")" + kB + R"(",")" + kC + R"("]})",
         false,
         {kA, kB, kC}},
        {"clear keeps the switch", true, {kA, kB}, 6, std::nullopt, ok, true, {}},
        {"invalid action",
         true,
         {kA},
         7,
         std::string(kB),
         R"({"error":true,"cause":"invalid action"})",
         true,
         {kA}},
        {"unknown action", true, {kA}, 9, std::string(kB), ok, true, {kA}},
    };
    IpcTestBed bed;
    Trace trace("FILTERTEST");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        trace.mac_filter() = TraceMacFilter{};
        trace.mac_filter().enabled = c.enabled_before;
        for (const auto& mac : c.macs_before) {
            trace.mac_filter().macs.insert(MacAddr::from_str(mac.c_str()));
        }
        IPC_MSG__MAC_FILTER msg;
        msg.action = c.action;
        if (c.list) {
            msg.macs = make_shared_string(*c.list);
        }
        mac_filter_command(msg, trace, bed.port);

        const auto replies = bed.drain_as<IPC_MSG__MAC_FILTER_RESP>();
        ASSERT_EQ(replies.size(), 1u);
        ASSERT_TRUE(replies[0]->result);
        EXPECT_EQ(*replies[0]->result, c.reply);
        EXPECT_EQ(replies[0]->port, bed.port.id());
        EXPECT_EQ(trace.mac_filter().enabled, c.enabled_after);
        EXPECT_EQ(texts(trace.mac_filter()), c.macs_after);
    }
}

}  // namespace
