// dorctl against a stand-in service that records requests and answers them.

#include "tools/dorctl/commands.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "libs/ipc/messages.h"
#include "tests/dialogue/dialogue_fixture.h"
#include "tests/support/ipc_test_bed.h"

using namespace std::chrono_literals;

namespace {

struct Outcome {
    int status = -1;
    std::string out, err;
};

class Dorctl : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(bed.port.register_msg_callback(
            [this](const IMsg& msg, IpcPort& port, void*) {
                received.push_back(render(msg));
                for (const auto& reply : replies) {
                    port.send(reply);
                }
                return Error{0};
            },
            nullptr));
    }

    // dorctl on its own thread while this one serves the port, `between` on every turn.
    Outcome run(std::vector<std::string> args, const std::function<void()>& between = {}) {
        args.insert(args.begin(), {"--ipc-dir", bed.dir()});
        std::ostringstream out, err;
        auto done =
            std::async(std::launch::async, [&] { return dorctl::run(args, out, err, stop); });
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (done.wait_for(0ms) != std::future_status::ready &&
               std::chrono::steady_clock::now() < deadline) {
            bed.port.run_once_for_timeout(5);
            if (between) {
                between();
            }
        }
        stop = true;  // never leave the thread behind
        const int status = done.get();
        return {status, out.str(), err.str()};
    }

    IpcTestBed bed;
    std::vector<SentMsg> received;
    std::vector<std::shared_ptr<IMsg>> replies;  // to every request
    std::atomic<bool> stop{false};
};

// Every reply here carries its text first.
template <class Reply>
std::shared_ptr<IMsg> with_text(const std::string& text) {
    auto reply = std::make_shared<Reply>();
    reply->visit_fields([&](SharedString& first, auto&...) { first = make_shared_string(text); });
    return reply;
}

TEST_F(Dorctl, CommandsSendTypedRequestsAndShowTheAnswer) {
    auto aps = std::make_shared<IPC_MSG__SA_GET_APS_RESP>();
    aps->aps = {{MacAddr::from_str("02:00:00:00:00:01"), Ipv4Addr::from_str("10.0.0.1"), "AP-100",
                 "1.2.3", "B", "SN1", 5},
                {MacAddr::from_str("02:00:00:00:00:22"), Ipv4Addr::from_str("192.168.100.200"),
                 "WLAP-2000", "10.0", "", "SERIAL-0022", 2}};
    const std::string table =
        "MAC                IP               STATE         DEVICE     SW     HW  SERIAL\n"
        "02:00:00:00:00:01  10.0.0.1         joined        AP-100     1.2.3  B   SN1\n"
        "02:00:00:00:00:22  192.168.100.200  waiting-auth  WLAP-2000  10.0   -   SERIAL-0022\n";
    const std::string mac = "02:00:00:00:00:09";
    const std::vector<std::string> add = {"trace-filter", "add", "02:00:00:00:00:0A",
                                          "020000000001"};
    const std::string added = "02:00:00:00:00:0a 02:00:00:00:00:01";
    const std::vector<std::string> tls = {"tls",   "--ca=/p/ca.pem", "--cert",        "/p/c.pem",
                                          "--key", "k.pem",          "--ap-cert-dir", "/d"};
    const std::string cwd = std::filesystem::current_path().string();
    const std::string not_found = R"({"status":"failure","cause":"not found AP"})";
    // JSON is shown indented, anything else as it came; settings print nothing.
    const std::string not_found_shown =
        "{\n  \"status\": \"failure\",\n  \"cause\": \"not found AP\"\n}\n";
    const std::string silent = "dorctl: no answer from dor_sa within 0.2 s\n";
    const std::string one_not_found = not_found_shown + mac + ": not admitted: not found AP\n";
    // The one waiting AP of the list, unless the answer names it as not started.
    const std::string all_ok = "{\n  \"status\": \"success\"\n}\nadmitted 02:00:00:00:00:22\n";
    const std::string not_started = R"({"status":"failure","cause":"can't auth: )"
                                    R"(02:00:00:00:00:05, 02:00:00:00:00:22"})";
    const std::string none_shown =
        "{\n  \"status\": \"failure\",\n  \"cause\": \"can't auth: 02:00:00:00:00:05, "
        "02:00:00:00:00:22\"\n}\nadmitted no AP\n";
    const std::string metrics =
        R"({"families":[{"name":"a_total","type":"counter","help":"A","samples":[)"
        R"({"name":"a_total","labels":{"k":"v"},"value":2}]}]})";
    struct Case {
        std::vector<std::string> args;
        SentMsg request;
        std::string reply;  // as the service would send it; empty: none
        int status;
        const char* printed;  // standard output and error; null: not checked
        bool lists_aps_first = false;
    };
    const std::vector<Case> cases = {
        {{"aps"}, {128, {}}, "", 0, table.c_str()},
        {{"auth", "all"}, {126, {"all"}}, R"({"status":"success"})", 0, all_ok.c_str(), true},
        {{"auth", "all"}, {126, {"all"}}, not_started, 1, none_shown.c_str(), true},
        {{"auth", mac}, {126, {mac}}, not_found, 1, one_not_found.c_str()},
        {{"auth", mac},
         {126, {mac}},
         R"({"status":"success"})",
         0,
         "{\n  \"status\": \"success\"\n}\n02:00:00:00:00:09: admitted\n"},
        {add, {116, {"2", added}}, R"({"error":false})", 0, nullptr},
        {{"trace-filter", "status"}, {116, {"4", "<nil>"}}, R"({"error":true})", 1, nullptr},
        {{"report"}, {113, {}}, "not json", 0, "not json\n"},
        {{"--timeout", "0.2", "report"}, {113, {}}, "", 1, silent.c_str()},
        {{"ports", "9000", "--auto-auth"}, {130, {"9000", "1"}}, "", 0, ""},
        {tls, {139, {"/p/ca.pem", cwd + "/k.pem", "/p/c.pem", "/d"}}, "", 0, ""},
        {{"fw-dir", "/srv/fw/../img"}, {138, {"/srv/img"}}, "", 0, ""},
        {{"incoming", "maintenance"}, {145, {"2"}}, "", 0, ""},
        {{"status", "--json"},
         {65536, {}},
         R"({"version":"1.0"})",
         0,
         "{\n  \"version\": \"1.0\"\n}\n"},
        {{"status"}, {65536, {}}, "not json", 1, "dorctl: unreadable answer from dor_sa\n"},
        {{"metrics"},
         {65538, {}},
         metrics,
         0,
         "# HELP a_total A\n# TYPE a_total counter\na_total{k=\"v\"} 2\n# EOF\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        received.clear();
        // dorctl reads only the type it waits for.
        replies = {aps};
        if (!c.reply.empty()) {
            replies.push_back(with_text<IPC_MSG__AUTH_AP_RESP>(c.reply));
            replies.push_back(with_text<IPC_MSG__SA_REPORT_RESP>(c.reply));
            replies.push_back(with_text<IPC_MSG__MAC_FILTER_RESP>(c.reply));
            replies.push_back(with_text<IPC_MSG__EXT_STATUS_RESP>(c.reply));
            replies.push_back(with_text<IPC_MSG__EXT_METRICS_RESP>(c.reply));
        }
        const Outcome outcome = run(c.args);
        EXPECT_EQ(outcome.status, c.status) << outcome.err;
        if (c.printed) {
            EXPECT_EQ(outcome.out + outcome.err, c.printed);
        }
        // Sent-only commands may end before the port has read them.
        for (int i = 0; i < 100 && received.empty(); ++i) {
            bed.port.run_once_for_timeout(10);
        }
        std::vector<SentMsg> requests{c.request};
        if (c.lists_aps_first) {
            requests.insert(requests.begin(), {128, {}});
        }
        for (int i = 0; i < 100 && received.size() < requests.size(); ++i) {
            bed.port.run_once_for_timeout(10);
        }
        EXPECT_EQ(received, requests);
    }
    const Outcome json = run({"aps", "--json"});
    EXPECT_NE(json.out.find(R"("state": "waiting-auth")"), std::string::npos) << json.out;
}

TEST_F(Dorctl, UsageErrorsSendNothing) {
    const std::vector<std::vector<std::string>> cases = {
        {"frobnicate"},
        {"ports"},
        {"ports", "65535"},
        {"aps", "--auto-auth"},
        {"tls", "--ca", "a", "--cert", "b", "--key", "c"},
        {"trace-filter", "add", "not-a-mac"},
        {"trace-filter", "on", "02:00:00:00:00:01"},
        {"incoming", "sometimes"},
        {"report", "--timeout", "0"},
        {"report", "--json=1"},
    };
    for (const auto& args : cases) {
        SCOPED_TRACE(::testing::PrintToString(args));
        const Outcome outcome = run(args);
        EXPECT_EQ(outcome.status, 2);
        EXPECT_EQ(outcome.err.rfind("dorctl: ", 0), 0u) << outcome.err;
        EXPECT_EQ(outcome.out, "");
        EXPECT_TRUE(received.empty());
    }
    const Outcome bare = run({});
    EXPECT_EQ(bare.status, 2);
    EXPECT_EQ(bare.err.rfind("usage: dorctl", 0), 0u);
}

TEST_F(Dorctl, EventsFollowUntilStopped) {
    int turns_after = -1;
    const Outcome outcome = run({"events"}, [&] {
        // The test bed's own client counts as one subscriber.
        if (turns_after < 0 && bed.port.subscriber_count(IPC_MSG__SA_AP_EVENT::kType) == 2) {
            IPC_MSG__SA_AP_EVENT event;
            event.mac = make_shared_string("02:00:00:00:00:01");
            event.code = 4;
            event.ip = make_shared_string("10.0.0.1");
            event.reason = make_shared_string("SA_AUTH: start tracking AP with path [/ready/ap]");
            bed.port.send(std::make_shared<IPC_MSG__SA_AP_EVENT>(event));
            bed.port.send(with_text<IPC_MSG__SA_AP_REG_TIMEOUT>("02:00:00:00:00:02"));
            turns_after = 0;
        } else if (turns_after >= 0 && ++turns_after == 40) {
            stop = true;
        }
    });
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    // Each line starts with the local time.
    const std::string event_tail =
        " event 02:00:00:00:00:01 ip=10.0.0.1 code=4 device=- sw=-: SA_AUTH: start tracking AP "
        "with path [/ready/ap]\n";
    const size_t first_end = outcome.out.find('\n') + 1;
    ASSERT_GT(first_end, event_tail.size()) << outcome.out;
    EXPECT_EQ(outcome.out.substr(first_end - event_tail.size(), event_tail.size()), event_tail);
    EXPECT_NE(outcome.out.find(" reg-timeout 02:00:00:00:00:02\n", first_end), std::string::npos)
        << outcome.out;
}

}  // namespace
