#include "app/dispatcher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "app/service_settings.h"
#include "libs/ipc/messages.h"
#include "libs/trace/trace.h"
#include "platform/globals.h"
#include "tests/controller/controller_fixture.h"

namespace {

class Dispatcher : public ControllerFixture {
  protected:
    ~Dispatcher() override { sa_trace.mac_filter() = TraceMacFilter{}; }

    size_t count_lines(const std::string& text) {
        return static_cast<size_t>(std::ranges::count(logged(), text, &LoggedLine::text));
    }

    // Dispatches `msg` and returns the one reply of class Reply it caused.
    template <class Reply>
    std::shared_ptr<Reply> ask(const IMsg& msg) {
        bed.drain();
        EXPECT_EQ(dispatch_ipc_message(msg, bed.port, &tracked), DISPATCH_HANDLED);
        auto replies = bed.drain_as<Reply>();
        EXPECT_EQ(replies.size(), 1u);
        return replies.empty() ? std::make_shared<Reply>() : replies[0];
    }
};

// The IPC stop is the process tests' shutdown.
TEST_F(Dispatcher, RoutesEachTypeOrCallsItUncatched) {
    const MacAddr mac = MacAddr::from_str("00:11:22:33:44:55");
    auto filter = std::make_shared<IPC_MSG__MAC_FILTER_CONFIG>();
    filter->enabled = 1;
    filter->macs = make_shared_string(mac.str());
    auto alive = [](IpcTestBed& own) { return !own.port.is_finalized(); };
    struct Case {
        std::shared_ptr<IMsg> msg;
        Error result;
        std::function<bool(IpcTestBed&)> effect;
    };
    std::vector<Case> cases = {
        {std::make_shared<IPC_MSG__SET_SEND_AND_RECV>(), DISPATCH_HANDLED,
         [](IpcTestBed& own) { return own.port.send_and_recv() && !own.port.is_finalized(); }},
        {filter, DISPATCH_HANDLED,
         [mac](IpcTestBed&) {
             return sa_trace.mac_filter().enabled && sa_trace.mac_filter().macs.contains(mac);
         }},
        {std::make_shared<IPC_MSG__TZ_UPDATE>(), DISPATCH_HANDLED,
         [this](IpcTestBed&) { return count_lines("Force update tzset") == 1; }},
        // Types the service only sends, replies, and unknown numbers.
        {std::make_shared<IPC_MSG__SA_GET_CREDENTIALS>(), DISPATCH_UNCATCHED, alive},
        {std::make_shared<IPC_MSG__AUTH_AP_RESP>(), DISPATCH_UNCATCHED, alive},
        {std::make_shared<IpcUnknownMsg>(9999), DISPATCH_UNCATCHED, alive},
    };
    // A known type number on a message of another class is not that message.
    for (const uint32_t type : {2u, 25u, 113u, 130u, 144u})
        cases.push_back({std::make_shared<IpcUnknownMsg>(type), DISPATCH_UNCATCHED, alive});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.msg->get_type());
        IpcTestBed own;
        logged();
        EXPECT_EQ(dispatch_ipc_message(*c.msg, own.port, &tracked), c.result);
        EXPECT_TRUE(c.effect(own));
        EXPECT_EQ(count_lines("Uncatched"), c.result == DISPATCH_UNCATCHED ? 1u : 0u);
    }
}

TEST_F(Dispatcher, ReportApListAndMacListAnswerAndResetEmptiesTheRegistries) {
    const auto report = ask<IPC_MSG__SA_REPORT_RESP>(IPC_MSG__SA_REPORT_REQ{})->text;
    ASSERT_TRUE(report);
    EXPECT_TRUE(std::regex_match(*report, std::regex(R"(\{"current-time":"\d\d:\d\d:\d\d"\})")))
        << *report;
    EXPECT_EQ(*ask<IPC_MSG__SA_AP_MACLIST_RESP>(IPC_MSG__SA_AP_MACLIST{})->text,
              R"({"status":"success","data":{}})");
    add_ap(unauthed, "10.0.0.1", "/wait/ap", "02:00:00:00:00:01");
    add_ap(unauthed, "10.0.0.7", "/register/ap", "02:00:00:00:00:07");
    add_ap(tracked, "10.0.0.9", "/register/ap", "02:00:00:00:00:09");
    add_ap(tracked, "10.0.0.10", "/register/ap", "02:00:00:00:00:02");
    add_ap(tracked, "10.0.0.11", "/register/ap", "02:00:00:00:00:02");
    tracked.track("10.0.0.3", "/report/ap");  // no record: not listed
    std::vector<std::pair<std::string, uint32_t>> rows;
    const auto list = ask<IPC_MSG__SA_GET_APS_RESP>(IPC_MSG__SA_GET_APS{});
    for (const auto& ap : list->aps) {
        rows.emplace_back(ap.ip.str() + " " + ap.mac.str() + " " + ap.device_type + " " +
                              ap.sw_version + " " + ap.hw_version + " " + ap.serial,
                          ap.state);
    }
    // Addresses in text order; the MAC list has one member per MAC.
    const std::string rec = " AP-300 7.1.0 B SN1";
    EXPECT_EQ(rows, (std::vector<std::pair<std::string, uint32_t>>{
                        {"10.0.0.10 02:00:00:00:00:02" + rec, 5},
                        {"10.0.0.11 02:00:00:00:00:02" + rec, 5},
                        {"10.0.0.9 02:00:00:00:00:09" + rec, 5},
                        {"10.0.0.1 02:00:00:00:00:01" + rec, 2},
                        {"10.0.0.7 02:00:00:00:00:07" + rec, 1}}));
    EXPECT_EQ(*ask<IPC_MSG__SA_AP_MACLIST_RESP>(IPC_MSG__SA_AP_MACLIST{})->text,
              R"({"status":"success","data":{)"
              R"("02:00:00:00:00:01":{"sa-status":"awaited"},)"
              R"("02:00:00:00:00:07":{"sa-status":"registering"},)"
              R"("02:00:00:00:00:02":{"sa-status":"joined"},)"
              R"("02:00:00:00:00:09":{"sa-status":"joined"}}})");

    config.set_ports(9100);
    config.set_fw_dir("/fw");
    config.set_tls_files({"ca", "cert", "key", "dir"});
    EXPECT_EQ(dispatch_ipc_message(IPC_MSG__SA_RESET{}, bed.port, &tracked), DISPATCH_HANDLED);
    EXPECT_TRUE(ask<IPC_MSG__SA_GET_APS_RESP>(IPC_MSG__SA_GET_APS{})->aps.empty());
    // The TLS files go; the rest of the configuration stays.
    EXPECT_EQ(config.ca_file + config.cert_file + config.key_file + config.ap_cert_dir, "");
    EXPECT_EQ(config.free_port, 9100u);
    EXPECT_EQ(config.fw_dir, "/fw");
}

// The TLS files' order is proven by every end-to-end journey.
TEST_F(Dispatcher, NilTextsCountAsEmpty) {
    config.set_tls_files({"ca", "cert", "key", "dir"});
    config.set_fw_dir("/old");
    // Texts may travel as nil; they count as empty and bring nothing down.
    const std::vector<std::shared_ptr<IMsg>> nils = {
        std::make_shared<IPC_MSG__SA_FW_DIR>(),
        std::make_shared<IPC_MSG__SA_TLS_FILES>(),
        std::make_shared<IPC_MSG__MAC_FILTER>(),
        std::make_shared<IPC_MSG__SA_CREDENTIALS>(),
        std::make_shared<IPC_MSG__AUTH_AP>(),
        std::make_shared<IPC_MSG__FW_AP_CHECK_RESULT>(),
        std::make_shared<IPC_MSG__SA_CERT_AUTH_AP_RESULT>()};
    for (const auto& msg : nils) {
        SCOPED_TRACE(msg->get_type());
        EXPECT_EQ(dispatch_ipc_message(*msg, bed.port, &tracked), DISPATCH_HANDLED);
    }
    EXPECT_EQ(config.fw_dir, "");
    EXPECT_EQ(config.ca_file + config.cert_file + config.key_file + config.ap_cert_dir, "");
}

TEST(PortsRestarts, OnlyWhatChangedOrIsDownRestarts) {
    const PortSettings defaults{8043, 8044, false};
    struct Case {
        PortSettings after;
        bool free_running, auth_running;
        ServerRestarts expected;
    };
    const Case cases[] = {
        {defaults, true, true, {false, false}},
        {{8043, 8044, true}, true, true, {true, false}},  // the flag is the free server's
        {defaults, true, false, {false, true}},
        {defaults, false, true, {true, false}},
        {{9000, 9001, false}, true, true, {true, true}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        EXPECT_EQ(ports_restarts(defaults, c.after, c.free_running, c.auth_running), c.expected);
    }
}

}  // namespace
