#include "app/dispatcher.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "libs/ipc/messages.h"
#include "libs/trace/trace.h"
#include "platform/globals.h"
#include "tests/support/ipc_test_bed.h"

namespace {

class Dispatcher : public ::testing::Test {
  protected:
    void SetUp() override {
        sa_trace.set_sink([this](const TraceLine& line) { lines_.push_back(line); });
        sa_trace.mac_filter() = TraceMacFilter{};
    }
    void TearDown() override {
        sa_trace.set_sink(nullptr);
        sa_trace.mac_filter() = TraceMacFilter{};
    }

    size_t count_lines(TraceCategory category, const std::string& text) const {
        size_t n = 0;
        for (const auto& line : lines_)
            n += line.category == category && line.text == text;
        return n;
    }

    IpcTestBed bed_;
    std::vector<TraceLine> lines_;
};

struct DispatchCase {
    const char* label;
    std::function<std::shared_ptr<IMsg>()> make;
    Error result;
    std::function<bool(IpcTestBed&)> effect;
};

TEST_F(Dispatcher, RoutesEachTypeOrCallsItUncatched) {
    const MacAddr mac = MacAddr::from_str("00:11:22:33:44:55");
    const DispatchCase cases[] = {
        {"stop finalizes the port", [] { return std::make_shared<IPC_MSG__STOP>(); },
         DISPATCH_HANDLED, [](IpcTestBed& bed) { return bed.port.is_finalized(); }},
        {"send-and-receive mode", [] { return std::make_shared<IPC_MSG__SET_SEND_AND_RECV>(); },
         DISPATCH_HANDLED,
         [](IpcTestBed& bed) { return bed.port.send_and_recv() && !bed.port.is_finalized(); }},
        {"trace filter configuration",
         [] {
             auto msg = std::make_shared<IPC_MSG__MAC_FILTER_CONFIG>();
             msg->enabled = 1;
             msg->macs = make_shared_string("00:11:22:33:44:55");
             return msg;
         },
         DISPATCH_HANDLED,
         [mac](IpcTestBed&) {
             return sa_trace.mac_filter().enabled && sa_trace.mac_filter().macs.contains(mac);
         }},
        {"a type the service only sends",
         [] { return std::make_shared<IPC_MSG__SA_GET_CREDENTIALS>(); }, DISPATCH_UNCATCHED,
         [](IpcTestBed& bed) { return !bed.port.is_finalized(); }},
        {"a type nobody knows", [] { return std::make_shared<IpcUnknownMsg>(9999); },
         DISPATCH_UNCATCHED, [](IpcTestBed& bed) { return !bed.port.is_finalized(); }},
        {"a reply type", [] { return std::make_shared<IPC_MSG__AUTH_AP_RESP>(); },
         DISPATCH_UNCATCHED, [](IpcTestBed& bed) { return !bed.port.is_finalized(); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        IpcTestBed bed;
        lines_.clear();
        const auto msg = c.make();
        EXPECT_EQ(dispatch_ipc_message(*msg, bed.port, nullptr), c.result);
        EXPECT_TRUE(c.effect(bed));
        EXPECT_EQ(count_lines(TraceCategory::WARN, "Uncatched"),
                  c.result == DISPATCH_UNCATCHED ? 1u : 0u);
    }
}

TEST_F(Dispatcher, TimeZoneUpdateIsLogged) {
    IPC_MSG__TZ_UPDATE msg;
    EXPECT_EQ(dispatch_ipc_message(msg, bed_.port, nullptr), DISPATCH_HANDLED);
    EXPECT_EQ(count_lines(TraceCategory::SYS, "Force update tzset"), 1u);
}

// Messages that arrive over the socket take the same road.
TEST_F(Dispatcher, StopArrivingOverThePortFinalizesIt) {
    ASSERT_TRUE(bed_.port.register_msg_callback(dispatch_ipc_message, nullptr));
    EXPECT_EQ(bed_.inject(IPC_MSG__STOP{}), 1);
    EXPECT_TRUE(bed_.port.is_finalized());
}

}  // namespace
