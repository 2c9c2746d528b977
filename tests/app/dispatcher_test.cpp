#include "app/dispatcher.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <functional>
#include <iterator>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "app/service_settings.h"
#include "controller/mac_filter.h"
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
        // The service's extensions answer; their free numbers do not.
        {std::make_shared<IPC_MSG__EXT_STATUS_REQ>(), DISPATCH_HANDLED,
         [](IpcTestBed& own) { return own.drain_as<IPC_MSG__EXT_STATUS_RESP>(1000).size() == 1; }},
        {std::make_shared<IPC_MSG__EXT_METRICS_REQ>(), DISPATCH_HANDLED,
         [](IpcTestBed& own) { return own.drain_as<IPC_MSG__EXT_METRICS_RESP>(1000).size() == 1; }},
        {std::make_shared<IpcUnknownMsg>(kIpcExtensionFirst + 4), DISPATCH_UNCATCHED, alive},
    };
    // A known type number on a message of another class is not that message.
    for (const uint32_t type : {2u, 25u, 113u, 130u, 144u, kIpcExtensionFirst})
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

// Commands come from other processes; here the test itself is the sender.
TEST_F(Dispatcher, AdministratorCommandsAreLoggedWithTheSendersUserAndPid) {
    ASSERT_TRUE(bed.port.register_msg_callback(dispatch_ipc_message, &tracked));
    const passwd* entry = getpwuid(getuid());
    const std::string who = " from user " +
                            (entry ? std::string(entry->pw_name) : std::to_string(getuid())) +
                            " pid " + std::to_string(getpid());
    const auto filter = [](uint32_t action, const char* macs) {
        auto msg = std::make_shared<IPC_MSG__MAC_FILTER>();
        msg->action = action;
        msg->macs = macs ? make_shared_string(macs) : SharedString{};
        return msg;
    };
    auto auth = std::make_shared<IPC_MSG__AUTH_AP>();
    auth->target = make_shared_string("02:00:00:00:00:01");
    auto fw_dir = std::make_shared<IPC_MSG__SA_FW_DIR>();
    fw_dir->dir = make_shared_string(std::string(300, 'd'));
    // the command, what its line says it asked (empty: no line)
    const std::vector<std::pair<std::shared_ptr<IMsg>, std::string>> cases = {
        {auth, R"(authenticate AP "02:00:00:00:00:01")"},
        {std::make_shared<IPC_MSG__AUTH_AP>(), "authenticate AP <nil>"},
        {filter(MAC_FILTER_ADD, "02:00:00:00:00:01"),
         R"(trace MAC filter add "02:00:00:00:00:01")"},
        {filter(MAC_FILTER_CLEAR, nullptr), "trace MAC filter clear"},
        {filter(MAC_FILTER_LIST, nullptr), ""},
        {std::make_shared<IPC_MSG__MAC_FILTER_CONFIG>(), "trace MAC filter set off <nil>"},
        {fw_dir, "firmware directory \"" + std::string(200, 'd') + "\"..."},
        {std::make_shared<IPC_MSG__SA_RESET>(), "reset"},
        {std::make_shared<IPC_MSG__SA_GET_APS>(), ""},
        {std::make_shared<IPC_MSG__STOP>(), "stop"},
    };
    for (const auto& [msg, what] : cases) {
        SCOPED_TRACE(what);
        logged();
        ASSERT_EQ(bed.inject(*msg), 1);
        std::vector<LoggedLine> audit;
        std::ranges::copy_if(logged(), std::back_inserter(audit), [](const LoggedLine& line) {
            return line.text.starts_with("Administrator command");
        });
        std::vector<LoggedLine> expected;
        if (!what.empty()) {
            expected.push_back({TraceCategory::SYS, std::nullopt,
                                "Administrator command " + std::to_string(msg->get_type()) + " (" +
                                    what + ")" + who});
        }
        EXPECT_EQ(audit, expected);
    }
}

// Two administrators and the certificate service at once, over real frames.
TEST_F(Dispatcher, AnswersReachOnlyTheirAskerEventsReachEveryone) {
    ASSERT_TRUE(bed.port.register_msg_callback(dispatch_ipc_message, &tracked));
    const std::string ip = "10.0.0.1", mac = "02:00:00:00:00:01";
    add_ap(unauthed, ip, "/wait/ap", mac);
    std::array<IpcClient, 3> peers;  // two administrators, then the certificate service
    for (size_t i = 0; i < peers.size(); ++i) {
        std::string error;
        ASSERT_TRUE(peers[i].connect(bed.dir(), SA_PORT_ID, &error)) << error;
        ASSERT_TRUE(i < 2 ? peers[i].subscribe({127, 129, 164}) : peers[i].subscribe({140}));
    }
    const auto serve = [&](int messages) {
        for (const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
             messages > 0 && std::chrono::steady_clock::now() < end;) {
            messages -= bed.port.run_once_for_timeout(10);
        }
        EXPECT_LE(messages, 0);
    };
    const auto types = [](IpcClient& peer) {
        std::multiset<uint32_t> got;
        while (auto msg = peer.receive(100)) {
            got.insert(msg->get_type());
        }
        return got;
    };
    ASSERT_EQ(peers[0].send(IPC_MSG__SA_GET_APS{}), IPC_OK);
    ASSERT_EQ(peers[1].send(IPC_MSG__SA_GET_APS{}), IPC_OK);
    serve(2);
    EXPECT_EQ(types(peers[0]), std::multiset<uint32_t>{129});
    EXPECT_EQ(types(peers[1]), std::multiset<uint32_t>{129});

    IPC_MSG__AUTH_AP auth;
    auth.target = make_shared_string(mac);
    ASSERT_EQ(peers[0].send(auth), IPC_OK);
    serve(1);
    EXPECT_EQ(types(peers[2]), std::multiset<uint32_t>{140});
    IPC_MSG__SA_CERT_AUTH_AP_RESULT result;
    result.ip = make_shared_string(ip);
    result.mac = make_shared_string(mac);
    ASSERT_EQ(peers[2].send(result), IPC_OK);
    serve(1);
    // "authenticating", "AP removed from unauthed", "remove from tracking" to both.
    EXPECT_EQ(types(peers[0]), (std::multiset<uint32_t>{127, 164, 164, 164}));
    EXPECT_EQ(types(peers[1]), (std::multiset<uint32_t>{164, 164, 164}));
    EXPECT_TRUE(types(peers[2]).empty());
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
