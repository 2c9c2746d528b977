// The free endpoint: waiting for authentication, automatic authentication and
// the limit on requests at once.

#include <gtest/gtest.h>

#include <memory>

#include "dialogue/ap_data_unauthorized.h"
#include "https/counters.h"
#include "tests/https/https_bed.h"

namespace {

TEST(FreeEndpoint, WaitingApIsAuthenticatedAutomaticallyOrByTheAdministrator) {
    struct Case {
        bool auto_auth;
        std::string line;
        std::string event;
        UnauthedApSaState state;
    };
    const Case cases[] = {
        {false, "): authentication is waiting for the admin command",
         "SA_FREE: authentication waiting for admin command", WAIT_AUTH},
        {true, "): auto authenticate is enabled", "SA_FREE: auto authenticate enabled", JOIN_AUTO},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.auto_auth ? "auto authentication" : "administrator");
        HttpsBed bed;
        bed.config.auto_auth = c.auto_auth;
        bed.start_servers();
        const std::string ip = "127.0.7.200", mac = "00:11:22:33:44:66";
        const HttpAnswer answer = bed.serve_while([&, port = bed.free_port()] {
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
        ASSERT_EQ(requests.size(), c.auto_auth ? 1u : 0u);
        for (const auto& request : requests) {
            EXPECT_EQ(*request->ip + " " + *request->mac, ip + " " + mac);
        }
    }
}

TEST(FreeEndpoint, HundredAndFirstRequestAtOnceIsRefused) {
    HttpsBed bed;
    bed.start_servers();
    const int port = bed.free_port();
    const std::string request = ott_post("/register/ap", kJson, ap_body("00:11:22:33:55:00"));
    // Each request waits for the controller's check, so it stays bound.
    auto waiting =
        bed.serve_while([&] { return hold_clients(port, kMaxFreeRequests, "127.0.8", request); });
    ASSERT_TRUE(
        bed.run_until([&] { return https_counters().free_request_sessions == kMaxFreeRequests; }));
    const HttpAnswer refused =
        bed.serve_while([&] { return exchange(client_at("127.0.8.200"), port, request); });
    bed.turn();
    EXPECT_EQ(refused.status, 0);
    EXPECT_EQ(bed.trace.count("Certificate generating APs limit exceeded"), 1);
    EXPECT_TRUE(bed.has_event("SA_FREE: certificate generating APs limit exceeded"));
    EXPECT_EQ(https_counters().free_request_sessions, kMaxFreeRequests);
    waiting.clear();
    EXPECT_TRUE(bed.run_until([] { return https_counters().free_request_sessions == 0; }));
}

}  // namespace
