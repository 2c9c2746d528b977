// dorctl against a stand-in service: an IPC port in the test thread that
// records what arrives and answers as the service would.

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
#include "tests/controller/controller_fixture.h"
#include "tests/support/ipc_test_bed.h"

using namespace std::chrono_literals;

namespace {

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

class Dorctl : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(bed.port.register_msg_callback(
            [this](const IMsg& msg, IpcPort& port, void*) {
                received.push_back(render_any(msg));
                if (answer) {
                    if (auto reply = answer(msg)) {
                        port.send(reply);
                    }
                }
                return Error{0};
            },
            nullptr));
    }

    // Runs dorctl on its own thread while this one serves the port;
    // `between` runs on every turn.
    Outcome run(std::vector<std::string> args, const std::function<void()>& between = {}) {
        args.insert(args.begin(), {"--ipc-dir", bed.dir()});
        Outcome outcome;
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
        outcome.status = done.get();
        outcome.out = out.str();
        outcome.err = err.str();
        return outcome;
    }

    IpcTestBed bed;
    std::vector<SentMsg> received;  // by the stand-in service
    std::function<std::shared_ptr<IMsg>(const IMsg&)> answer;
    std::atomic<bool> stop{false};
};

SaApsInfo::ApInfo ap_row(const char* mac, const char* ip, uint32_t state, const char* device,
                         const char* sw, const char* hw, const char* serial) {
    return {MacAddr::from_str(mac), Ipv4Addr::from_str(ip), device, sw, hw, serial, state};
}

TEST_F(Dorctl, ApsPrintsAnAlignedTable) {
    answer = [](const IMsg&) {
        auto reply = std::make_shared<IPC_MSG__SA_GET_APS_RESP>();
        reply->aps = {ap_row("02:00:00:00:00:01", "10.0.0.1", 5, "AP-100", "1.2.3", "B", "SN1"),
                      ap_row("02:00:00:00:00:22", "192.168.100.200", 2, "WLAP-2000", "10.0", "",
                             "SERIAL-0022")};
        return reply;
    };
    const Outcome outcome = run({"aps"});
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(outcome.out,
              "MAC                IP               STATE         DEVICE     SW     HW  SERIAL\n"
              "02:00:00:00:00:01  10.0.0.1         joined        AP-100     1.2.3  B   SN1\n"
              "02:00:00:00:00:22  192.168.100.200  waiting-auth  WLAP-2000  10.0   -   "
              "SERIAL-0022\n");
    EXPECT_EQ(received, (std::vector<SentMsg>{{128, {}}}));

    const Outcome json = run({"aps", "--json"});
    EXPECT_NE(json.out.find(R"("state": "waiting-auth")"), std::string::npos) << json.out;
}

struct ReplyCase {
    std::vector<std::string> args;
    SentMsg request;
    std::string reply;  // as the service would send it
    int status;
    std::string printed;
};

// The reply type is the request's plus one; each carries its text first.
std::shared_ptr<IMsg> text_reply(uint32_t request_type, const std::string& text) {
    auto shared = make_shared_string(text);
    switch (request_type) {
        case IPC_MSG__AUTH_AP::kType: {
            auto reply = std::make_shared<IPC_MSG__AUTH_AP_RESP>();
            reply->text = shared;
            return reply;
        }
        case IPC_MSG__SA_REPORT_REQ::kType: {
            auto reply = std::make_shared<IPC_MSG__SA_REPORT_RESP>();
            reply->text = shared;
            return reply;
        }
        case IPC_MSG__MAC_FILTER::kType: {
            auto reply = std::make_shared<IPC_MSG__MAC_FILTER_RESP>();
            reply->result = shared;
            return reply;
        }
    }
    return nullptr;
}

TEST_F(Dorctl, AnsweredCommandsPrintTheAnswerAndJudgeIt) {
    const std::vector<ReplyCase> cases = {
        {{"auth", "all"},
         {126, {"all"}},
         R"({"status":"success"})",
         0,
         "{\n  \"status\": \"success\"\n}\n"},
        {{"auth", "02:00:00:00:00:09"},
         {126, {"02:00:00:00:00:09"}},
         R"({"status":"failure","cause":"not found AP"})",
         1,
         "{\n  \"status\": \"failure\",\n  \"cause\": \"not found AP\"\n}\n"},
        {{"trace-filter", "add", "02:00:00:00:00:0A", "020000000001"},
         {116, {"2", "02:00:00:00:00:0a 02:00:00:00:00:01"}},
         R"({"error":false})",
         0,
         "{\n  \"error\": false\n}\n"},
        {{"trace-filter", "status"},
         {116, {"4", "<nil>"}},
         R"({"error":true})",
         1,
         "{\n  \"error\": true\n}\n"},
        {{"report"}, {113, {}}, "not json", 0, "not json\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reply);
        received.clear();
        answer = [&c](const IMsg& msg) { return text_reply(msg.get_type(), c.reply); };
        const Outcome outcome = run(c.args);
        EXPECT_EQ(outcome.status, c.status) << outcome.err;
        EXPECT_EQ(outcome.out, c.printed);
        EXPECT_EQ(received, std::vector<SentMsg>{c.request});
    }
}

TEST_F(Dorctl, SettingsAreSentAsTyped) {
    const std::string cwd = std::filesystem::current_path().string();
    const std::vector<std::pair<std::vector<std::string>, SentMsg>> cases = {
        {{"ports", "9000", "--auto-auth"}, {130, {"9000", "1"}}},
        {{"tls", "--ca=/p/ca.pem", "--cert", "/p/c.pem", "--key", "k.pem", "--ap-cert-dir", "/d"},
         {139, {"/p/ca.pem", cwd + "/k.pem", "/p/c.pem", "/d"}}},
        {{"fw-dir", "/srv/fw/../img"}, {138, {"/srv/img"}}},
        {{"incoming", "maintenance"}, {145, {"2"}}},
        {{"stop"}, {25, {}}},
    };
    for (const auto& [args, request] : cases) {
        SCOPED_TRACE(args[0]);
        received.clear();
        const Outcome outcome = run(args);
        EXPECT_EQ(outcome.status, 0) << outcome.err;
        // Sent-only commands may end before the port has read them.
        for (int i = 0; i < 100 && received.empty(); ++i) {
            bed.port.run_once_for_timeout(10);
        }
        EXPECT_EQ(received, std::vector<SentMsg>{request});
        EXPECT_EQ(outcome.out, "");
    }
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
        received.clear();
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

TEST_F(Dorctl, MissingOrSilentService) {
    TempDir empty;
    std::ostringstream out, err;
    EXPECT_EQ(dorctl::run({"--ipc-dir", empty.path(), "aps"}, out, err, stop), 1);
    EXPECT_EQ(err.str(), "dorctl: cannot connect to " + empty.path() +
                             "/port-3.sock: No such file or directory\n");

    const Outcome silent = run({"--timeout", "0.2", "report"});  // nobody answers
    EXPECT_EQ(silent.status, 1);
    EXPECT_EQ(silent.err, "dorctl: no answer from dor_sa within 0.2 s\n");
}

TEST_F(Dorctl, EventsFollowUntilStopped) {
    bool sent = false;
    int turns_after = 0;
    const Outcome outcome = run({"events"}, [&] {
        // The test bed's own client counts as one subscriber.
        if (!sent && bed.port.subscriber_count(IPC_MSG__SA_AP_EVENT::kType) == 2) {
            auto event = std::make_shared<IPC_MSG__SA_AP_EVENT>();
            event->mac = make_shared_string("02:00:00:00:00:01");
            event->code = 4;
            event->ip = make_shared_string("10.0.0.1");
            event->reason = make_shared_string("SA_AUTH: start tracking AP with path [/ready/ap]");
            bed.port.send(event);
            auto timeout = std::make_shared<IPC_MSG__SA_AP_REG_TIMEOUT>();
            timeout->mac = make_shared_string("02:00:00:00:00:02");
            bed.port.send(timeout);
            sent = true;
        } else if (sent && ++turns_after == 40) {
            stop = true;
        }
    });
    EXPECT_EQ(outcome.status, 0) << outcome.err;
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
