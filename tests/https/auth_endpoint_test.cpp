// Both endpoints' request answers, and the authorized endpoint's client
// certificates, pending answers and connection limit.

#include <gtest/gtest.h>
#include <openssl/x509_vfy.h>

#include <atomic>
#include <thread>

#include "dialogue/ap_data_authorized.h"
#include "https/counters.h"
#include "https/endpoint.h"
#include "tests/https/https_bed.h"
#include "tests/https/tls_client.h"

namespace {

using namespace std::chrono_literals;

ClientOptions ap_client(const std::string& name, const std::string& source, bool h2 = false) {
    const TestPki& pki = test_pki();
    return client_at(source, pki.path(name + ".pem"), pki.path(name + ".key"), h2);
}

// The refusal texts of OpenSSL's chain check, as the service logs them (the
// trace shows their line ends escaped).
std::string ssl_error_line(int error, int depth) {
    return std::string("SSL error: ") + X509_verify_cert_error_string(error) + " (" +
           std::to_string(error) + "), depth: " + std::to_string(depth) + "\\n";
}
std::string ssl_error_event(int error, int depth) {
    return std::string("SA_AUTH: ssl error: ") + X509_verify_cert_error_string(error) + " (" +
           std::to_string(error) + ") , depth - " + std::to_string(depth);
}

TEST(AuthEndpoint, ClientCertificateChecks) {
    const std::string stored = test_pki().ap_cert_dir() + "/";
    struct Case {
        const char* cert;  // null: no client certificate
        bool accepted;
        std::vector<std::string> lines;   // logged
        std::vector<std::string> events;  // reported
        std::vector<std::string> absent;  // not logged
    };
    const Case cases[] = {
        {"ap1",
         true,
         {"Certificate OK", "accept AP with valid certificate"},
         {"SA_AUTH: certificate ok", "SA_AUTH: accept AP with valid certificate"},
         {}},
        {"ap2", true, {"Certificate OK"}, {}, {}},  // serial and MAC starting 0A
        {"ap3", true, {"Certificate OK"}, {}, {}},  // MAC without colons
        {"other-ca-ap",
         false,
         {ssl_error_line(X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY, 0)},
         {ssl_error_event(X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY, 0)},
         {"Certificate OK"}},
        {"rogue",
         false,
         {ssl_error_line(X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT, 0)},
         {ssl_error_event(X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT, 0)},
         {"Certificate OK"}},
        // The ten-digit serial names no MAC; its file exists under that name.
        {"zero-serial",
         false,
         {"SSL client certificate verified ok\\n"},
         {},
         {"Certificate OK", "Certificate file [" + stored + "B2C3D4E5F6.pem] does not exist"}},
        {"two-names",
         false,
         {"AP is not in authorized list"},
         {"SA_AUTH: AP is not in authorized list"},
         {"Certificate OK"}},
        {"differs",
         false,
         {"Certificate differs from stored [" + stored + "445566778899.pem]"},
         {"SA_AUTH: certificate differs from stored [" + stored + "445566778899.pem]"},
         {"Certificate OK"}},
        {"unstored",
         false,
         {"Certificate file [" + stored + "5566778899AA.pem] does not exist"},
         {"SA_AUTH: certificate file [" + stored + "5566778899AA.pem] does not exist"},
         {"Certificate OK"}},
        {nullptr, false, {}, {}, {"Certificate OK", "SSL client certificate verified ok\\n"}},
    };
    HttpsBed bed;
    bed.start_servers();
    const int port = bed.auth_port();
    int host = 10;
    for (const Case& c : cases) {
        for (bool h2 : {false, true}) {
            SCOPED_TRACE(std::string(c.cert != nullptr ? c.cert : "no certificate") +
                         (h2 ? ", offers h2" : ""));
            bed.trace.clear();
            bed.sent.clear();
            const std::string source = "127.0.2." + std::to_string(++host);
            const ClientOptions client =
                c.cert != nullptr ? ap_client(c.cert, source, h2) : client_at(source, {}, {}, h2);
            const HttpAnswer answer = bed.serve_while(
                [&] { return exchange(client, port, ott_post("/report/ap", kJson, "{}")); });
            bed.turn();
            if (c.accepted) {
                EXPECT_EQ(answer.status, 200);
                EXPECT_EQ(answer.body, kNoted);
                EXPECT_EQ(answer.alpn, h2 ? "http/1.1" : "");
            } else {
                EXPECT_EQ(answer.status, 0) << answer.body;
                EXPECT_EQ(
                    bed.trace.count("AUTHORIZED HTTPS: connection " + source + ", path /report/ap"),
                    0);
            }
            for (const auto& line : c.lines) {
                EXPECT_NE(bed.trace.find(line), nullptr) << line;
            }
            for (const auto& event : c.events) {
                EXPECT_TRUE(bed.has_event(event)) << event;
            }
            for (const auto& line : c.absent) {
                EXPECT_EQ(bed.trace.find(line), nullptr) << line;
            }
        }
    }
}

struct AnswerCase {
    const char* label;
    std::string request;
    int status;
    std::string body;
    bool stays_tracked;
};

// Answers an endpoint gives by itself, each on a fresh connection from its
// own address; both endpoints use the same texts.
TEST(Endpoints, RequestsRefusedOrNotedByTheEndpoint) {
    const std::string minus = "-5";
    const std::string over = "65537";
    const std::string plus = "+2";
    const std::string hex = "0x2";
    const AnswerCase cases[] = {
        {"report", ott_post("/report/ap", kJson, "{}"), 200, kNoted, true},
        {"content type with a charset", ott_post("/ready/ap", kJson + "; charset=utf-8", "{}"), 400,
         error_json("ap not tracked: invalid content-type"), false},
        {"no content type", ott_post("/ready/ap", "", "{}"), 400,
         error_json("ap not tracked: invalid content-type"), false},
        {"other type of the same length", ott_post("/ready/ap", "application/jsox", "{}"), 400,
         error_json("ap not tracked: content-type not json"), false},
        {"no content length",
         "POST /ott/ready/ap HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n\r\n", 400,
         error_json("ap not tracked: invalid content length"), false},
        {"negative content length", ott_post("/ready/ap", kJson, "{}", &minus), 400,
         error_json("ap not tracked: invalid content length"), false},
        {"content length above 64 KiB", ott_post("/ready/ap", kJson, "{}", &over), 400,
         error_json("ap not tracked: invalid content length"), false},
        {"content length with a sign", ott_post("/ready/ap", kJson, "{}", &plus), 400,
         error_json("ap not tracked: invalid content length"), false},
        {"hexadecimal content length", ott_post("/ready/ap", kJson, "{}", &hex), 400,
         error_json("ap not tracked: invalid content length"), false},
        {"body not JSON", ott_post("/ready/ap", kJson, "{not json"), 400,
         error_json("client json parsing error"), false},
        {"body without a MAC", ott_post("/ready/ap", kJson, R"({"deviceType":"x"})"), 400,
         error_json("client json parsing error"), false},
    };
    HttpsBed bed;
    bed.start_servers();
    int host = 10;
    for (const Endpoint& endpoint : kEndpoints) {
        const int port = endpoint_port(bed, endpoint);
        for (const AnswerCase& c : cases) {
            SCOPED_TRACE(std::string(endpoint.label) + ", " + c.label);
            const std::string ip = "127.0.3." + std::to_string(++host);
            HttpAnswer answer = bed.serve_while(
                [&] { return exchange(endpoint_client(endpoint, ip), port, c.request); });
            EXPECT_EQ(answer.status, c.status);
            EXPECT_EQ(answer.body, c.body);
            EXPECT_EQ(answer.headers["content-type"], kJson);
            EXPECT_EQ(answer.headers["content-length"], std::to_string(c.body.size()));
            EXPECT_EQ(endpoint_ap(bed, endpoint, ip) != nullptr, c.stays_tracked);
        }
        bed.turn();
        EXPECT_TRUE(
            bed.has_event(std::string(endpoint.event_prefix) + "client json parsing error"));
        EXPECT_TRUE(bed.has_event(std::string(endpoint.event_prefix) + "client reporting error"));
    }
}

// A request whose answer waits for the controller.
class PendingRequest {
  public:
    PendingRequest(HttpsBed& bed, ClientOptions client, int port, const std::string& request)
        : bed(bed), answer(std::async(std::launch::async, [client, port, request] {
              return exchange(client, port, request);
          })) {}

    // Turns until the AP's data object holds the request.
    bool wait_until_pending(const std::string& ip) {
        return bed.run_until([&] {
            auto ap = bed.tracked.find(ip);
            return ap && ap->params;
        });
    }
    bool answered() { return answer.wait_for(0s) == std::future_status::ready; }
    HttpAnswer get() {
        bed.run_until([&] { return answered(); }, 15s);
        return answer.get();
    }

  private:
    HttpsBed& bed;
    std::future<HttpAnswer> answer;
};

TEST(AuthEndpoint, PendingAnswersGoOutOnceBuilt) {
    const std::string mac = "a1:b2:c3:d4:e5:f6";  // ap1's certificate
    struct Case {
        const char* label;
        const char* path;
        std::function<void(ApDataAuthrized&, const std::string& ip)> controller;
        int status;
        std::string body_part;
        bool stays_tracked;
    };
    const Case cases[] = {
        {"ready, admitted", "/ready/ap",
         [](ApDataAuthrized& ap, const std::string& ip) {
             ap.on_check_result(0, ip, 0, FW_CURRENT, "", false);
         },
         200, R"("code":4027)", false},
        {"register, credentials", "/register/ap",
         [](ApDataAuthrized& ap, const std::string& ip) {
             ap.on_check_result(0, ip, 0, FW_CURRENT, "", false);
             ap.set_credentials("s3cret");
         },
         200, R"("password":"s3cret")", true},
        {"ready, refused", "/ready/ap",
         [](ApDataAuthrized& ap, const std::string& ip) {
             ap.on_check_result(4, ip, 0, FW_CURRENT, "", false);
         },
         200, R"("code":4026)", false},
    };
    HttpsBed bed;
    bed.start_servers();
    int host = 10;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string ip = "127.0.4." + std::to_string(++host);
        PendingRequest request(bed, ap_client("ap1", ip), bed.auth_port(),
                               ott_post(c.path, kJson, ap_body(mac)));
        ASSERT_TRUE(request.wait_until_pending(ip));
        bed.run_until([] { return false; }, 100ms);
        EXPECT_FALSE(request.answered());

        bed.from_controller([&] { c.controller(*bed.tracked.find(ip), ip); });
        const HttpAnswer answer = request.get();
        EXPECT_EQ(answer.status, c.status);
        EXPECT_NE(answer.body.find(c.body_part), std::string::npos) << answer.body;
        bed.turn();
        EXPECT_EQ(bed.tracked.find(ip) != nullptr, c.stays_tracked);
        EXPECT_EQ(bed.servers.auth_server().waiting_count(), 0u);
    }
    EXPECT_FALSE(bed.sent_as<IPC_MSG__FW_AP_CHECK>().empty());
    EXPECT_FALSE(bed.sent_as<IPC_MSG__SA_GET_CREDENTIALS>().empty());
}

TEST(AuthEndpoint, PendingRequestOfAnExpiredApIsAnsweredNotTracked) {
    HttpsBed bed;
    bed.start_servers();
    const std::string ip = "127.0.4.50";
    PendingRequest request(bed, ap_client("ap1", ip), bed.auth_port(),
                           ott_post("/ready/ap", kJson, ap_body("a1:b2:c3:d4:e5:f6")));
    ASSERT_TRUE(request.wait_until_pending(ip));
    // Expiry steps, one per whole second of the monotonic clock.
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    for (uint32_t step = 0; step <= ApDataAuthrized::kCountdown; ++step) {
        t.tv_sec += 1;
        bed.tracked.tick(t);
    }
    ASSERT_EQ(bed.tracked.find(ip), nullptr);
    const HttpAnswer answer = request.get();
    EXPECT_EQ(answer.status, 400);
    EXPECT_EQ(answer.body, error_json("ap not tracked"));
    EXPECT_NE(bed.trace.find("(" + ip + ") not tracked!"), nullptr);
}

TEST(AuthEndpoint, ClientLeavingWhileWaitingIsForgotten) {
    HttpsBed bed;
    bed.start_servers();
    const std::string ip = "127.0.4.60";
    std::atomic<bool> leave{false};
    const int port = bed.auth_port();
    auto client = std::async(std::launch::async, [&] {
        TlsClient tls(ap_client("ap1", ip));
        const bool sent = tls.connect(port) &&
                          tls.send(ott_post("/register/ap", kJson, ap_body("a1:b2:c3:d4:e5:f6")));
        while (!leave) {
            std::this_thread::sleep_for(5ms);
        }
        return sent;
    });
    ASSERT_TRUE(bed.run_until([&] { return bed.servers.auth_server().waiting_count() == 1; }));
    leave = true;
    ASSERT_TRUE(client.get());
    EXPECT_TRUE(bed.run_until([&] { return bed.servers.auth_server().waiting_count() == 0; }));
    // Still tracked for its next request, body emptied.
    ASSERT_NE(bed.tracked.find(ip), nullptr);
    EXPECT_TRUE(bed.tracked.find(ip)->body.empty());
    EXPECT_NE(bed.trace.find("Don't remove registered but not ready AP track [" + ip + "]"),
              nullptr);
    // An answer built now has no connection to go to.
    bed.from_controller(
        [&] { bed.tracked.find(ip)->on_check_result(0, ip, 0, FW_CURRENT, "", false); });
    bed.turn();
    bed.turn();
}

// The AP left the registry between the headers and the body.
TEST(Endpoints, BodyForAnApNoLongerTrackedIsRefused) {
    struct Case {
        const Endpoint& endpoint;
        std::string answer;
        std::string event;  // empty: none at all
    };
    const Case cases[] = {
        {kEndpoints[0], "AP not tracked",
         "SA_AUTH: AP not tracked: failed to find AP in tracked APs"},
        {kEndpoints[1], "ap not tracked: failed to find AP in unauthed APs", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.endpoint.label);
        HttpsBed bed;
        bed.start_servers();
        const std::string ip = "127.0.4.70";
        const std::string body = ap_body("a1:b2:c3:d4:e5:f6");
        const std::string request = ott_post("/register/ap", kJson, body);
        std::atomic<bool> cleared{false};
        const int port = endpoint_port(bed, c.endpoint);
        auto client = std::async(std::launch::async, [&] {
            TlsClient tls(endpoint_client(c.endpoint, ip));
            if (!tls.connect(port) || !tls.send(request.substr(0, request.size() - body.size()))) {
                return HttpAnswer{};
            }
            while (!cleared) {
                std::this_thread::sleep_for(5ms);
            }
            tls.send(body);
            return parse_answer(tls.receive_all(10s));
        });
        ASSERT_TRUE(bed.run_until([&] { return endpoint_ap(bed, c.endpoint, ip) != nullptr; }));
        bed.tracked.clear();
        bed.unauthed.clear();
        bed.sent.clear();
        cleared = true;
        bed.run_until([&] { return client.wait_for(0s) == std::future_status::ready; });
        const HttpAnswer answer = client.get();
        bed.turn();
        EXPECT_EQ(answer.status, 400);
        EXPECT_EQ(answer.body, error_json(c.answer));
        EXPECT_NE(bed.trace.find("(" + ip + ") not tracked!"), nullptr);
        if (c.event.empty()) {
            EXPECT_TRUE(bed.event_reasons().empty());
        } else {
            EXPECT_TRUE(bed.has_event(c.event));
        }
    }
}

// Two connections of one AP feed one body; it never grows past 64 KiB.
TEST(AuthEndpoint, BodyAbove64KiBIsRefused) {
    HttpsBed bed;
    bed.start_servers();
    const std::string ip = "127.0.4.80";
    const std::string part(40000, ' ');
    const int port = bed.auth_port();
    auto client = std::async(std::launch::async, [&] {
        TlsClient first(ap_client("ap1", ip));
        TlsClient second(ap_client("ap1", ip));
        const std::string request = ott_post("/ready/ap", kJson, part);
        // The first request stops 10000 bytes short, the second sends all of it.
        if (!first.connect(port) || !first.send(request.substr(0, request.size() - 10000))) {
            return HttpAnswer{};
        }
        std::this_thread::sleep_for(200ms);
        if (!second.connect(port) || !second.send(ott_post("/ready/ap", kJson, part))) {
            return HttpAnswer{};
        }
        return parse_answer(second.receive_all(10s));
    });
    bed.run_until([&] { return client.wait_for(0s) == std::future_status::ready; });
    const HttpAnswer answer = client.get();
    EXPECT_EQ(answer.status, 400);
    EXPECT_EQ(answer.body, error_json("ap not tracked: invalid content length"));
    bed.turn();
    if (auto ap = bed.tracked.find(ip)) {
        EXPECT_LE(ap->body.size(), kMaxRequestBody);
    }
}

TEST(AuthEndpoint, HundredAndFirstConnectionIsRefused) {
    HttpsBed bed;
    bed.start_servers();
    const int port = bed.auth_port();
    std::vector<std::unique_ptr<TlsClient>> held;
    bed.serve_while([&] {
        for (int i = 0; i < kMaxAuthConnections; ++i) {
            held.push_back(
                std::make_unique<TlsClient>(client_at("127.0.5." + std::to_string(i + 1))));
            held.back()->connect_plain(port);
        }
        return 0;
    });
    ASSERT_TRUE(
        bed.run_until([&] { return https_counters().auth_connections == kMaxAuthConnections; }));
    bed.trace.clear();
    TlsClient extra(client_at("127.0.5.200"));
    ASSERT_TRUE(extra.connect_plain(port));
    const bool refused = bed.serve_while([&] { return extra.closed_by_peer(5s); });
    EXPECT_TRUE(refused);
    EXPECT_EQ(https_counters().auth_connections, kMaxAuthConnections);
    EXPECT_TRUE(bed.trace.lines.empty());
    // One still held gets through to the TLS handshake.
    EXPECT_FALSE(held.front()->closed_by_peer(0ms));
    held.clear();
    EXPECT_TRUE(bed.run_until([] { return https_counters().auth_connections == 0; }));
}

}  // namespace
