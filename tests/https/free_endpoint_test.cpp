// The free endpoint: registration, waiting for authentication, automatic
// authentication and the limit on requests at once.

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "dialogue/ap_data_unauthorized.h"
#include "https/counters.h"
#include "tests/https/https_bed.h"
#include "tests/https/tls_client.h"

namespace {

using namespace std::chrono_literals;

TEST(FreeEndpoint, RegistrationIsAnsweredWhenTheCheckResultArrives) {
    HttpsBed bed;
    bed.start_servers();
    const std::string ip = "127.0.7.100";
    const int port = bed.free_port();
    auto answer = std::async(std::launch::async, [&] {
        return curl_request(client_at(ip), port, "/ott/register/ap", kJson,
                            ap_body("00:11:22:33:44:55"), true);
    });
    ASSERT_TRUE(bed.run_until([&] {
        auto ap = bed.unauthed.find(ip);
        return ap && ap->params;
    }));
    bed.run_until([] { return false; }, 100ms);
    EXPECT_NE(answer.wait_for(0s), std::future_status::ready);
    bed.from_controller(
        [&] { bed.unauthed.find(ip)->on_check_result(0, ip, 0, FW_CURRENT, "", false); });
    bed.run_until([&] { return answer.wait_for(0s) == std::future_status::ready; });
    const HttpAnswer got = answer.get();
    EXPECT_EQ(got.status, 200);
    EXPECT_EQ(got.body, R"({"code":4028,"dor-version":"2.0"})");
    EXPECT_EQ(got.alpn, "http/1.1");
    // Registering is not the end of the dialogue.
    bed.turn();
    ASSERT_NE(bed.unauthed.find(ip), nullptr);
    EXPECT_NE(bed.trace.find("Clear json AP (" + ip + ")"), nullptr);
}

TEST(FreeEndpoint, WaitingApIsAuthenticatedAutomaticallyOrByTheAdministrator) {
    struct Case {
        bool auto_auth;
        std::string line;
        std::string event;
        UnauthedApSaState state;
        size_t certificate_requests;
    };
    const Case cases[] = {
        {false, "): authentication is waiting for the admin command",
         "SA_FREE: authentication waiting for admin command", WAIT_AUTH, 0},
        {true, "): auto authenticate is enabled", "SA_FREE: auto authenticate enabled", JOIN_AUTO,
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.auto_auth ? "auto authentication" : "administrator");
        HttpsBed bed;
        bed.config.auto_auth = c.auto_auth;
        bed.start_servers();
        const std::string ip = "127.0.7.200";
        const std::string mac = "00:11:22:33:44:66";
        const int port = bed.free_port();
        const HttpAnswer answer = bed.serve_while([&] {
            return exchange(client_at(ip), port, ott_post("/wait/ap", kJson, ap_body(mac)));
        });
        bed.turn();
        EXPECT_EQ(answer.status, 200);
        EXPECT_EQ(answer.body, kNoted);
        EXPECT_NE(bed.trace.find("(" + ip + c.line), nullptr);
        EXPECT_TRUE(bed.has_event(c.event));
        ASSERT_NE(bed.unauthed.find(ip), nullptr);
        EXPECT_EQ(bed.unauthed.find(ip)->state, c.state);
        const auto requests = bed.sent_as<IPC_MSG__SA_CERT_AUTH_AP>();
        ASSERT_EQ(requests.size(), c.certificate_requests);
        if (!requests.empty()) {
            EXPECT_EQ(*requests[0]->ip, ip);
            EXPECT_EQ(*requests[0]->mac, mac);
        }
    }
}

TEST(FreeEndpoint, HundredAndFirstRequestAtOnceIsRefused) {
    HttpsBed bed;
    bed.start_servers();
    const int port = bed.free_port();
    // Each request waits for the controller's check, so it stays bound.
    std::vector<std::unique_ptr<TlsClient>> waiting;
    bed.serve_while([&] {
        for (int i = 0; i < kMaxFreeRequests; ++i) {
            const std::string ip = "127.0.8." + std::to_string(i + 1);
            waiting.push_back(std::make_unique<TlsClient>(client_at(ip)));
            waiting.back()->connect(port);
            waiting.back()->send(ott_post("/register/ap", kJson, ap_body("00:11:22:33:55:00")));
        }
        return 0;
    });
    ASSERT_TRUE(
        bed.run_until([&] { return https_counters().free_request_sessions == kMaxFreeRequests; }));
    const HttpAnswer refused = bed.serve_while([&] {
        return exchange(client_at("127.0.8.200"), port,
                        ott_post("/register/ap", kJson, ap_body("00:11:22:33:55:01")));
    });
    bed.turn();
    EXPECT_EQ(refused.status, 0);
    EXPECT_EQ(bed.trace.count("Certificate generating APs limit exceeded"), 1);
    EXPECT_TRUE(bed.has_event("SA_FREE: certificate generating APs limit exceeded"));
    EXPECT_EQ(https_counters().free_request_sessions, kMaxFreeRequests);
    waiting.clear();
    EXPECT_TRUE(bed.run_until([] { return https_counters().free_request_sessions == 0; }));
}

}  // namespace
