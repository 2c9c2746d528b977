// Both endpoints' request answers and pending answers, the authorized
// endpoint's client certificates, the free endpoint's wait for the
// administrator (automatic authentication is followed in tests/e2e), and the
// limits on connections and requests at once.

#include <gtest/gtest.h>
#include <openssl/x509_vfy.h>

#include <future>
#include <thread>

#include "dialogue/ap_data_authorized.h"
#include "dialogue/ap_data_unauthorized.h"
#include "https/connection_guard.h"
#include "https/counters.h"
#include "https/endpoint.h"
#include "tests/https/https_bed.h"

namespace {

using namespace std::chrono_literals;

TEST(AuthEndpoint, ClientCertificateChecks) {
    struct Case {
        const char* cert;  // null: no client certificate
        bool accepted;
        std::string line;     // logged; empty: none checked
        std::string event;    // reported; empty: none checked
        std::string refusal;  // the reason in the refusal line naming the peer
    };
    // OpenSSL's chain refusals; the trace shows line ends escaped.
    const auto chain = [](const char* cert, int error) {
        const std::string text =
            std::string(X509_verify_cert_error_string(error)) + " (" + std::to_string(error);
        return Case{cert, false, "SSL error: " + text + "), depth: 0\\n",
                    "SA_AUTH: ssl error: " + text + ") , depth - 0",
                    std::string("certificate chain: ") + X509_verify_cert_error_string(error)};
    };
    const std::string dir = test_pki().ap_cert_dir() + "/";
    const Case cases[] = {
        {"ap1", true, "accept AP with valid certificate",
         "SA_AUTH: accept AP with valid certificate", ""},
        {"ap2", true, "", "", ""},  // serial and MAC starting 0A
        {"ap3", true, "", "", ""},  // MAC without colons, stored copy after a text dump
        chain("other-ca-ap", X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY),
        chain("rogue", X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT),
        // The ten-digit serial names no MAC, though a file of that name is stored.
        {"zero-serial", false, "SSL client certificate verified ok\\n", "", "serial number "},
        {"two-names", false, "AP is not in authorized list",
         "SA_AUTH: AP is not in authorized list", "subject "},
        {"differs", false, "Certificate differs from stored [" + dir + "445566778899.pem]",
         "SA_AUTH: certificate differs from stored [" + dir + "445566778899.pem]",
         "differs from stored: " + dir + "445566778899.pem"},
        {"unstored", false, "Certificate file [" + dir + "5566778899AA.pem] does not exist",
         "SA_AUTH: certificate file [" + dir + "5566778899AA.pem] does not exist",
         "not stored: " + dir + "5566778899AA.pem"},
        {"garbled", false, "Unable to load certificate from file [" + dir + "66778899AABB.pem]",
         "SA_AUTH: unable to load certificate from file [" + dir + "66778899AABB.pem]",
         "stored copy unreadable: " + dir + "66778899AABB.pem"},
        {nullptr, false, "", "", "no client certificate"},
    };
    HttpsBed bed;
    bed.start_servers();
    int host = 10;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.cert != nullptr ? c.cert : "no certificate");
        bed.trace.clear();
        bed.sent.clear();
        const std::string ip = "127.0.2." + std::to_string(++host);
        const std::string name = c.cert != nullptr ? test_pki().path(c.cert) : "";
        const ClientOptions client = client_at(ip, c.cert ? name + ".pem" : "", name + ".key");
        const HttpAnswer answer = bed.serve_while([&, port = bed.auth_port()] {
            return exchange(client, port, ott_post("/report/ap", kJson, "{}"));
        });
        bed.turn();
        EXPECT_EQ(answer.status, c.accepted ? 200 : 0) << answer.body;
        EXPECT_EQ(bed.trace.find("Certificate OK") != nullptr, c.accepted);
        EXPECT_EQ(bed.trace.count("AUTHORIZED HTTPS: connection " + ip + ", path /report/ap"),
                  c.accepted ? 1 : 0);
        EXPECT_TRUE(c.line.empty() || bed.trace.find(c.line) != nullptr) << c.line;
        EXPECT_TRUE(c.event.empty() || bed.has_event(c.event)) << c.event;
        // Every refusal names the peer; a reason shorter than its case's
        // details is checked as the line's start.
        const auto refusals =
            lines_starting(bed.trace, "AUTHORIZED HTTPS: TLS handshake with " + ip + " refused: ");
        ASSERT_EQ(refusals.size(), c.accepted ? 0u : 1u);
        if (!c.accepted) {
            EXPECT_EQ(
                refusals[0].rfind(
                    "AUTHORIZED HTTPS: TLS handshake with " + ip + " refused: " + c.refusal, 0),
                0u)
                << refusals[0];
        }
    }
}

// Answers an endpoint gives by itself, each on a fresh connection from its
// own address; both endpoints use the same texts. A refused request ends the
// AP's dialogue.
TEST(Endpoints, RequestsRefusedOrNotedByTheEndpoint) {
    const auto ready = [](const std::string& type, const std::string& body) {
        return ott_post("/ready/ap", type, body);
    };
    const auto length = [](std::string text) { return ott_post("/ready/ap", kJson, "{}", &text); };
    const std::string bad_type = error_json("ap not tracked: invalid content-type");
    const std::string bad_length = error_json("ap not tracked: invalid content length");
    const std::string bad_json = error_json("client json parsing error");
    const std::string padded = std::string(29, '0') + "2";
    const std::pair<std::string, std::string> cases[] = {
        // request, answer
        {ott_post("/report/ap", kJson, "{}"), kNoted},
        {ready(kJson + "; charset=utf-8", "{}"), bad_type},
        {ready("", "{}"), bad_type},
        {ready("application/jsox", "{}"), error_json("ap not tracked: content-type not json")},
        {"POST /ott/ready/ap HTTP/1.1\r\nHost: x\r\nContent-Type: " + kJson + "\r\n\r\n",
         bad_length},
        {length("-5"), bad_length},
        {length("65537"), bad_length},  // above 64 KiB
        {length("+2"), bad_length},
        {length("0x2"), bad_length},
        // Zeros padding the value past the 30 characters lws reads.
        {length(std::string(30, '0') + "2"), bad_length},
        {ott_post("/report/ap", kJson, "{}", &padded), kNoted},
        {ready(kJson, "{not json"), bad_json},
        {ready(kJson, R"({"deviceType":"x"})"), bad_json},  // no MAC
    };
    HttpsBed bed;
    bed.start_servers();
    int host = 10;
    for (const Endpoint& endpoint : kEndpoints) {
        const int port = endpoint_port(bed, endpoint);
        for (const auto& [request, body] : cases) {
            SCOPED_TRACE(std::string(endpoint.label) + ", " + request);
            const std::string ip = "127.0.3." + std::to_string(++host);
            ClientOptions client = endpoint_client(endpoint, ip);
            client.offer_h2 = true;
            client.request_with_finished = host % 2 == 0;
            auto answer = bed.serve_while(
                [&, &request = request] { return exchange(client, port, request); });
            EXPECT_EQ(answer.status, body == kNoted ? 200 : 400);
            EXPECT_EQ(answer.body, body);
            EXPECT_EQ(answer.alpn, "http/1.1");
            EXPECT_FALSE(answer.ticket);  // APs never resume
            EXPECT_EQ(answer.headers["content-type"], kJson);
            EXPECT_EQ(answer.headers["content-length"], std::to_string(body.size()));
            EXPECT_EQ(endpoint_ap(bed, endpoint, ip) != nullptr, body == kNoted);
        }
        bed.turn();
        for (const char* reason : {"client json parsing error", "client reporting error"}) {
            EXPECT_TRUE(bed.has_event(endpoint.event_prefix + std::string(reason))) << reason;
        }
    }
}

TEST(Endpoints, PendingAnswersGoOutOnceBuiltOrTheApExpires) {
    constexpr uint32_t kExpires = ~0u;  // no verdict: the AP expires while it waits
    struct Case {
        const Endpoint& endpoint;
        const char* path;
        uint32_t verdict;
        const char* password;  // credentials from the controller; null: none
        int status;
        std::string body_part;
        bool stays_tracked;
    };
    const Case cases[] = {
        {kEndpoints[0], "/ready/ap", 0, nullptr, 200, R"("code":4027)", false},
        {kEndpoints[0], "/ready/ap", 4, nullptr, 200, R"("code":4026)", false},
        {kEndpoints[0], "/register/ap", 0, "s3cret", 200, R"("password":"s3cret")", true},
        {kEndpoints[1], "/register/ap", 0, nullptr, 200, R"({"code":4028,"dor-version":"2.0"})",
         true},
        // Last: the registry's clock runs ahead from here on.
        {kEndpoints[0], "/ready/ap", kExpires, nullptr, 400, error_json("ap not tracked"), false},
    };
    HttpsBed bed;
    bed.start_servers();
    int host = 10;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.endpoint.label) + " " + c.path + " " + c.body_part);
        const std::string ip = "127.0.4." + std::to_string(++host);
        auto answer = post_held(bed, c.endpoint, ip, ott_post(c.path, kJson, ap_body(kAp1Mac)));
        bed.run_until([] { return false; }, 100ms);
        EXPECT_NE(answer.wait_for(0s), std::future_status::ready);
        if (c.verdict == kExpires) {
            timespec t{};
            clock_gettime(CLOCK_MONOTONIC, &t);
            for (uint32_t step = 0; step <= ApDataAuthrized::kCountdown; ++step) {
                t.tv_sec += 1;  // one expiry step per whole second
                bed.tracked.tick(t);
            }
        } else {
            bed.from_controller([&] {
                auto ap = endpoint_ap(bed, c.endpoint, ip);
                ap->on_check_result(c.verdict, ip, 0, FW_CURRENT, "", false);
                if (c.password != nullptr) {
                    static_cast<ApDataAuthrized&>(*ap).set_credentials(c.password);
                }
            });
        }
        const HttpAnswer got = bed.await(answer);
        EXPECT_EQ(got.status, c.status);
        EXPECT_NE(got.body.find(c.body_part), std::string::npos) << got.body;
        bed.turn();
        EXPECT_EQ(endpoint_ap(bed, c.endpoint, ip) != nullptr, c.stays_tracked);
        EXPECT_EQ(bed.servers.auth_server().waiting_count(), 0u);
        EXPECT_EQ(bed.servers.free_server().waiting_count(), 0u);
    }
    EXPECT_FALSE(bed.sent_as<IPC_MSG__FW_AP_CHECK>().empty());
    EXPECT_FALSE(bed.sent_as<IPC_MSG__SA_GET_CREDENTIALS>().empty());
}

TEST(AuthEndpoint, ClientLeavingWhileWaitingIsForgotten) {
    HttpsBed bed;
    bed.start_servers();
    const std::string ip = "127.0.4.60";
    auto tls = std::make_unique<TlsClient>(endpoint_client(kEndpoints[0], ip));
    ASSERT_TRUE(bed.serve_while([&, port = bed.auth_port()] {
        return tls->connect(port) && tls->send(ott_post("/register/ap", kJson, ap_body(kAp1Mac)));
    }));
    ASSERT_TRUE(bed.run_until([&] { return bed.servers.auth_server().waiting_count() == 1; }));
    tls.reset();
    EXPECT_TRUE(bed.run_until([&] { return bed.servers.auth_server().waiting_count() == 0; }));
    // Still tracked for its next request, body emptied.
    ASSERT_NE(bed.tracked.find(ip), nullptr);
    EXPECT_TRUE(bed.tracked.find(ip)->body.empty());
    // An answer built now has no connection to go to.
    bed.from_controller(
        [&] { bed.tracked.find(ip)->on_check_result(0, ip, 0, FW_CURRENT, "", false); });
    bed.run_until([] { return false; }, 50ms);
    EXPECT_EQ(bed.servers.auth_server().waiting_count(), 0u);
}

// The AP left the registry between the headers and the body.
TEST(Endpoints, BodyForAnApNoLongerTrackedIsRefused) {
    const std::pair<std::string, std::string> cases[] = {
        // answer, event (empty: none at all)
        {"AP not tracked", "SA_AUTH: AP not tracked: failed to find AP in tracked APs"},
        {"ap not tracked: failed to find AP in unauthed APs", ""},
    };
    for (int s = 0; s < 2; ++s) {
        const Endpoint& endpoint = kEndpoints[s];
        SCOPED_TRACE(endpoint.label);
        HttpsBed bed;
        bed.start_servers();
        const std::string ip = "127.0.4.70", body = ap_body(kAp1Mac);
        TlsClient tls(endpoint_client(endpoint, ip));
        ASSERT_TRUE(bed.serve_while([&, port = endpoint_port(bed, endpoint)] {
            const std::string request = ott_post("/register/ap", kJson, body);
            return tls.connect(port) && tls.send(request.substr(0, request.size() - body.size()));
        }));
        ASSERT_TRUE(bed.run_until([&] { return endpoint_ap(bed, endpoint, ip) != nullptr; }));
        bed.tracked.clear();
        bed.unauthed.clear();
        bed.sent.clear();
        const HttpAnswer answer = bed.serve_while(
            [&] { return tls.send(body) ? tls.receive_answer(10s) : HttpAnswer{}; });
        bed.turn();
        EXPECT_EQ(answer.status, 400);
        EXPECT_EQ(answer.body, error_json(cases[s].first));
        EXPECT_NE(bed.trace.find("(" + ip + ") not tracked!"), nullptr);
        EXPECT_TRUE(cases[s].second.empty() ? bed.sent_as<IPC_MSG__SA_AP_EVENT>().empty()
                                            : bed.has_event(cases[s].second));
    }
}

// Two connections of one AP feed one body; it never grows past 64 KiB.
TEST(AuthEndpoint, BodyAbove64KiBIsRefused) {
    HttpsBed bed;
    bed.start_servers();
    const std::string ip = "127.0.4.80";
    const std::string request = ott_post("/ready/ap", kJson, std::string(40000, ' '));
    const HttpAnswer answer = bed.serve_while([&, port = bed.auth_port()] {
        TlsClient first(endpoint_client(kEndpoints[0], ip));
        TlsClient second(endpoint_client(kEndpoints[0], ip));
        // The first request stops 10000 bytes short, the second sends all of it.
        const bool sent =
            first.connect(port) && first.send(request.substr(0, request.size() - 10000)) &&
            (std::this_thread::sleep_for(200ms), second.connect(port)) && second.send(request);
        return sent ? second.receive_answer(10s) : HttpAnswer{};
    });
    EXPECT_EQ(answer.status, 400);
    EXPECT_EQ(answer.body, error_json("ap not tracked: invalid content length"));
    bed.turn();
    if (auto ap = bed.tracked.find(ip)) {
        EXPECT_LE(ap->body.size(), kMaxRequestBody);
    }
}

TEST(FreeEndpoint, WaitingApWaitsForTheAdministrator) {
    HttpsBed bed;
    bed.start_servers();
    const std::string ip = "127.0.7.200";
    const HttpAnswer answer = bed.serve_while([&, port = bed.free_port()] {
        return exchange(client_at(ip), port, ott_post("/wait/ap", kJson, ap_body(kAp1Mac)));
    });
    bed.turn();
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(answer.body, kNoted);
    EXPECT_NE(bed.trace.find("(" + ip + "): authentication is waiting for the admin command"),
              nullptr);
    EXPECT_TRUE(bed.has_event("SA_FREE: authentication waiting for admin command"));
    ASSERT_NE(bed.unauthed.find(ip), nullptr);
    EXPECT_EQ(bed.unauthed.find(ip)->state, WAIT_AUTH);
    EXPECT_TRUE(bed.sent_as<IPC_MSG__SA_CERT_AUTH_AP>().empty());
}

// Each endpoint at its limit: the authorized one's connections held idle
// (never stale), the free one's requests waiting for the controller. The AP
// beyond it waits in the listen queue and is served as soon as one leaves.
TEST(BothEndpoints, ApBeyondTheLimitWaitsForAPlace) {
    EdgeDeadlinesForTest deadlines(
        {.handshake_ms = 60000, .request_ms = 60000, .stale_handshake_ms = 60000});
    const std::string waiting_request =
        ott_post("/register/ap", kJson, ap_body("00:11:22:33:55:00"));
    const int32_t* const in_use[] = {&https_counters().auth_connections,
                                     &https_counters().free_request_sessions};
    int subnet = 5;
    for (const Endpoint& endpoint : kEndpoints) {
        SCOPED_TRACE(endpoint.label);
        HttpsBed bed;
        bed.start_servers();
        const int port = endpoint_port(bed, endpoint);
        const int32_t& held_now = *in_use[endpoint.authorized ? 0 : 1];
        const int32_t limit = endpoint.authorized ? kMaxAuthConnections : kMaxFreeRequests;
        const std::string prefix = "127.0." + std::to_string(++subnet);
        auto held = bed.serve_while([&] {
            return hold_clients(port, limit, prefix,
                                endpoint.authorized ? std::string() : waiting_request);
        });
        ASSERT_TRUE(bed.run_until([&] { return held_now == limit; }));
        bed.trace.clear();
        auto answer = std::async(std::launch::async, [&] {
            return exchange(endpoint_client(endpoint, prefix + ".200"), port,
                            ott_post("/report/ap", kJson, "{}"));
        });
        bed.run_until([] { return false; }, 500ms);
        EXPECT_EQ(answer.wait_for(0s), std::future_status::timeout) << "not kept waiting";
        EXPECT_EQ(held_now, limit);
        held.pop_back();
        EXPECT_EQ(bed.await(answer).body, kNoted);
        EXPECT_TRUE(lines_starting(bed.trace, endpoint.authorized
                                                  ? "AUTHORIZED HTTPS: connections limit"
                                                  : "Certificate generating APs limit")
                        .empty());
        held.clear();
        EXPECT_TRUE(bed.run_until([] { return guard_connection_count() == 0; }));
    }
}

}  // namespace
