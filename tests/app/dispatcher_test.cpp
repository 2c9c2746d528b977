#include "app/dispatcher.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "app/service_settings.h"
#include "dialogue/ap_data_authorized.h"
#include "dialogue/ap_data_unauthorized.h"
#include "dialogue/sa_config.h"
#include "libs/ipc/messages.h"
#include "libs/trace/trace.h"
#include "platform/globals.h"
#include "registry/tracked_aps.h"
#include "registry/unauthed_aps.h"
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

// The rows that read or change the service's state, with real registries and
// configuration behind the process-wide pointers.
class DispatcherRows : public Dispatcher {
  protected:
    void SetUp() override {
        Dispatcher::SetUp();
        g_sa_config = &config;
        g_tracked_aps = &tracked;
        g_unauthed_aps = &unauthed;
        g_ipc_port = &bed_.port;
    }
    void TearDown() override {
        g_sa_config = nullptr;
        g_tracked_aps = nullptr;
        g_unauthed_aps = nullptr;
        g_ipc_port = nullptr;
        Dispatcher::TearDown();
    }

    template <class Registry>
    void add_ap(Registry& registry, const std::string& ip, const std::string& path,
                const std::string& mac) {
        registry.track(ip, path);
        registry.find(ip)->body = R"({"deviceType":"AP-1","swVersion":"3.0","hwVersion":"C",)"
                                  R"("serial":"S-)" +
                                  ip + R"(","mac":")" + mac + R"(","timeout":30})";
        registry.process_request(ip);
    }

    // Dispatches `msg` and returns the one reply of class Reply it caused.
    template <class Reply>
    std::shared_ptr<Reply> ask(const IMsg& msg) {
        bed_.drain();
        EXPECT_EQ(dispatch_ipc_message(msg, bed_.port, &tracked), DISPATCH_HANDLED);
        auto replies = bed_.drain_as<Reply>();
        EXPECT_EQ(replies.size(), 1u);
        return replies.empty() ? std::make_shared<Reply>() : replies[0];
    }

    SaConfig config;
    TrackedAps tracked{config, timespec{}};
    UnauthedAps unauthed{config, timespec{}};
};

TEST_F(DispatcherRows, ReportCarriesTheLocalTime) {
    const auto reply = ask<IPC_MSG__SA_REPORT_RESP>(IPC_MSG__SA_REPORT_REQ{});
    ASSERT_TRUE(reply->text);
    EXPECT_TRUE(std::regex_match(*reply->text,
                                 std::regex(R"(\{"current-time":"[0-2]\d:[0-5]\d:[0-6]\d"\})")))
        << *reply->text;
}

TEST_F(DispatcherRows, ApListHasTrackedApsFirstAndNothingAfterReset) {
    add_ap(unauthed, "10.0.0.1", "/wait/ap", "02:00:00:00:00:01");
    add_ap(tracked, "10.0.0.9", "/register/ap", "02:00:00:00:00:09");
    add_ap(tracked, "10.0.0.2", "/register/ap", "02:00:00:00:00:02");
    tracked.track("10.0.0.3", "/report/ap");  // no record: not listed

    auto reply = ask<IPC_MSG__SA_GET_APS_RESP>(IPC_MSG__SA_GET_APS{});
    std::vector<std::pair<std::string, uint32_t>> rows;
    for (const auto& ap : reply->aps) {
        rows.emplace_back(ap.ip.str() + " " + ap.mac.str() + " " + ap.serial, ap.state);
    }
    EXPECT_EQ(rows, (std::vector<std::pair<std::string, uint32_t>>{
                        {"10.0.0.2 02:00:00:00:00:02 S-10.0.0.2", 5},
                        {"10.0.0.9 02:00:00:00:00:09 S-10.0.0.9", 5},
                        {"10.0.0.1 02:00:00:00:00:01 S-10.0.0.1", 2}}));

    config.set_ports(9100);
    config.set_fw_dir("/fw");
    config.set_tls_files({"ca", "cert", "key", "dir"});
    EXPECT_EQ(dispatch_ipc_message(IPC_MSG__SA_RESET{}, bed_.port, &tracked), DISPATCH_HANDLED);
    EXPECT_TRUE(ask<IPC_MSG__SA_GET_APS_RESP>(IPC_MSG__SA_GET_APS{})->aps.empty());
    // The TLS files go; the rest of the configuration stays.
    EXPECT_EQ(config.ca_file + config.cert_file + config.key_file + config.ap_cert_dir, "");
    EXPECT_EQ(config.free_port, 9100u);
    EXPECT_EQ(config.fw_dir, "/fw");
}

TEST_F(DispatcherRows, MacListMergesBothRegistries) {
    EXPECT_EQ(*ask<IPC_MSG__SA_AP_MACLIST_RESP>(IPC_MSG__SA_AP_MACLIST{})->text,
              R"({"status":"success","data":{}})");

    add_ap(tracked, "10.0.0.5", "/register/ap", "02:00:00:00:00:05");
    add_ap(unauthed, "10.0.0.6", "/wait/ap", "02:00:00:00:00:06");
    add_ap(unauthed, "10.0.0.7", "/register/ap", "02:00:00:00:00:07");
    EXPECT_EQ(*ask<IPC_MSG__SA_AP_MACLIST_RESP>(IPC_MSG__SA_AP_MACLIST{})->text,
              R"({"status":"success","data":{)"
              R"("02:00:00:00:00:06":{"sa-status":"awaited"},)"
              R"("02:00:00:00:00:07":{"sa-status":"registering"},)"
              R"("02:00:00:00:00:05":{"sa-status":"joined"}}})");
}

TEST_F(DispatcherRows, SettingsRowsFillTheConfiguration) {
    IPC_MSG__SA_TLS_FILES tls;  // message order: CA, key, certificate, AP directory
    tls.ca_file = make_shared_string("/t/ca.pem");
    tls.key_file = make_shared_string("/t/key.pem");
    tls.cert_file = make_shared_string("/t/cert.pem");
    tls.ap_cert_dir = make_shared_string("/t/aps");
    EXPECT_EQ(dispatch_ipc_message(tls, bed_.port, &tracked), DISPATCH_HANDLED);
    EXPECT_EQ(std::vector<std::string>(
                  {config.ca_file, config.cert_file, config.key_file, config.ap_cert_dir}),
              std::vector<std::string>({"/t/ca.pem", "/t/cert.pem", "/t/key.pem", "/t/aps"}));

    IPC_MSG__SA_FW_DIR fw_dir;
    fw_dir.dir = make_shared_string("/srv/fw");
    EXPECT_EQ(dispatch_ipc_message(fw_dir, bed_.port, &tracked), DISPATCH_HANDLED);
    EXPECT_EQ(config.fw_dir, "/srv/fw");

    IPC_MSG__INCOMING_CONNECTIONS incoming;
    incoming.mode = 2;
    EXPECT_EQ(dispatch_ipc_message(incoming, bed_.port, &tracked), DISPATCH_HANDLED);
    EXPECT_EQ(config.incoming_connections, 2u);
    EXPECT_EQ(count_lines(TraceCategory::AP, "Setup incoming connections: reject (maintenance)"),
              1u);
}

// Texts may travel as nil; they must count as empty, not bring the service down.
TEST_F(DispatcherRows, NilTextsAreEmpty) {
    config.set_fw_dir("/old");
    config.set_tls_files({"a", "b", "c", "d"});
    const std::vector<std::shared_ptr<IMsg>> msgs = {
        std::make_shared<IPC_MSG__SA_FW_DIR>(),
        std::make_shared<IPC_MSG__SA_TLS_FILES>(),
        std::make_shared<IPC_MSG__MAC_FILTER>(),
        std::make_shared<IPC_MSG__SA_CREDENTIALS>(),
        std::make_shared<IPC_MSG__AUTH_AP>(),
        std::make_shared<IPC_MSG__FW_AP_CHECK_RESULT>(),
        std::make_shared<IPC_MSG__SA_CERT_AUTH_AP_RESULT>(),
    };
    for (const auto& msg : msgs) {
        SCOPED_TRACE(msg->get_type());
        EXPECT_EQ(dispatch_ipc_message(*msg, bed_.port, &tracked), DISPATCH_HANDLED);
    }
    EXPECT_EQ(config.fw_dir, "");
    EXPECT_EQ(config.ca_file + config.cert_file + config.key_file + config.ap_cert_dir, "");
}

// A known type number on a message of another class is not that message.
TEST_F(DispatcherRows, TypeNumberWithoutItsClassIsUncatched) {
    for (const uint32_t type : {2u, 25u, 113u, 130u, 144u}) {
        SCOPED_TRACE(type);
        lines_.clear();
        EXPECT_EQ(dispatch_ipc_message(IpcUnknownMsg(type), bed_.port, &tracked),
                  DISPATCH_UNCATCHED);
        EXPECT_EQ(count_lines(TraceCategory::WARN, "Uncatched"), 1u);
    }
    EXPECT_FALSE(bed_.port.is_finalized());
}

struct RestartCase {
    const char* label;
    PortSettings before, after;
    bool free_running, auth_running;
    ServerRestarts expected;
};

TEST(PortsRestarts, OnlyWhatChangedOrIsDownRestarts) {
    const PortSettings defaults{8043, 8044, false};
    const PortSettings flag_on{8043, 8044, true};
    const PortSettings moved{9000, 9001, false};
    const RestartCase cases[] = {
        {"nothing changed, both running", defaults, defaults, true, true, {false, false}},
        {"only the flag", defaults, flag_on, true, true, {true, false}},
        {"same ports, authorized down", defaults, defaults, true, false, {false, true}},
        {"same ports, free down", defaults, defaults, false, true, {true, false}},
        {"new ports", defaults, moved, true, true, {true, true}},
        {"both down", defaults, defaults, false, false, {true, true}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(ports_restarts(c.before, c.after, c.free_running, c.auth_running), c.expected);
    }
}

}  // namespace
