// Clients that do not behave like APs, endpoint by endpoint: protocol
// switches, unknown paths, trickled bodies, idle connections. Each attacker
// has its own source address, and an AP is served while it attacks.

#include <gtest/gtest.h>

#include <csignal>
#include <numeric>

#include "https/connection_guard.h"
#include "https/counters.h"
#include "tests/https/https_bed.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const char* endpoint_name(const Endpoint& endpoint) {
    return endpoint.authorized ? "AUTHORIZED" : "FREE";
}

int sum(const std::vector<int>& counts) {
    return std::accumulate(counts.begin(), counts.end(), 0);
}

// The AP's request that the endpoint answers by itself.
HttpAnswer report_from(HttpsBed& bed, const Endpoint& endpoint, const std::string& ip) {
    return bed.serve_while([&, port = endpoint_port(bed, endpoint)] {
        return exchange(endpoint_client(endpoint, ip), port, ott_post("/report/ap", kJson, "{}"));
    });
}

// `count` plain TCP connections from the one address `ip`.
std::vector<std::unique_ptr<TlsClient>> idle_from(int port, int count, const std::string& ip) {
    std::vector<std::unique_ptr<TlsClient>> held;
    for (int i = 0; i < count; ++i) {
        held.emplace_back(std::make_unique<TlsClient>(client_at(ip)))->connect_plain(port);
    }
    return held;
}

TEST(BothEndpointsHostile, ProtocolSwitchesAreRefusedAndClosed) {
    struct Case {
        const char* what;  // in the refusal line
        std::string request;
    };
    const Case cases[] = {
        {"websocket upgrade",
         "GET /ott/x HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
         "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n"},
        {"h2c upgrade",
         "GET /ott/x HTTP/1.1\r\nHost: x\r\nConnection: Upgrade, HTTP2-Settings\r\n"
         "Upgrade: h2c\r\nHTTP2-Settings: AAMAAABkAARAAAAAAAIAAAAA\r\n\r\n"},
        {"CONNECT", "CONNECT example.com:443 HTTP/1.1\r\nHost: example.com:443\r\n\r\n"},
    };
    HttpsBed bed;
    bed.start_servers();
    int host = 10;
    for (const Endpoint& endpoint : kEndpoints) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(endpoint.label) + ", " + c.what);
            const std::string ip = "127.0.30." + std::to_string(++host);
            TlsClient client(endpoint_client(endpoint, ip));
            EXPECT_TRUE(bed.serve_while([&, port = endpoint_port(bed, endpoint)] {
                return client.connect(port) && client.send(c.request) && client.closed_by_peer(2s);
            }));
            EXPECT_EQ(bed.trace.count(std::string(endpoint_name(endpoint)) + " HTTPS: " + c.what +
                                      " from " + ip + " refused"),
                      1);
        }
    }
    EXPECT_TRUE(bed.run_until([] { return guard_connection_count() == 0; }));
}

TEST(BothEndpointsHostile, UnfinishedHandshakesEndAtTheirDeadline) {
    EdgeDeadlinesForTest deadlines(
        {.handshake_ms = 500, .request_ms = 10000, .stale_handshake_ms = 1000});
    HttpsBed bed;
    bed.start_servers();
    const std::string prefix = "HTTPS: TLS handshake not finished in time";
    int subnet = 35;
    for (const Endpoint& endpoint : kEndpoints) {
        SCOPED_TRACE(endpoint.label);
        bed.trace.clear();
        const auto start = Clock::now();
        auto idle =
            idle_from(endpoint_port(bed, endpoint), 3, "127.0." + std::to_string(++subnet) + ".1");
        ASSERT_TRUE(bed.run_until([] { return guard_connection_count() == 3; }));
        EXPECT_TRUE(bed.run_until([] { return guard_connection_count() == 0; }, 3s));
        EXPECT_GE(Clock::now() - start, 450ms);
        for (auto& client : idle) {
            EXPECT_TRUE(client->closed_by_peer(1s));
        }
        EXPECT_TRUE(bed.run_until([&] { return sum(refusal_counts(bed.trace, prefix)) == 3; }));
    }
    EXPECT_EQ(https_counters().auth_connections, 0);
}

TEST(AuthEndpointHostile, UnknownPathIsAnsweredAtOnce) {
    HttpsBed bed;
    bed.start_servers();
    int host = 0;
    for (const char* path : {"/foo", "/Register/ap"}) {
        SCOPED_TRACE(path);
        const std::string ip = "127.0.31." + std::to_string(++host);
        const HttpAnswer answer = bed.serve_while([&, port = bed.auth_port()] {
            return exchange(endpoint_client(kEndpoints[0], ip), port,
                            ott_post(path, kJson, ap_body(kAp1Mac)));
        });
        bed.turn();
        EXPECT_EQ(answer.status, 400);
        EXPECT_EQ(answer.body, error_json("ap not tracked: unknown path"));
    }
    EXPECT_TRUE(bed.sent_as<IPC_MSG__FW_AP_CHECK>().empty());
}

// Connections that never send a request, unfinished or past their handshake
// (anyone can finish one on the free endpoint): from one address they hold a
// few places; from 100 they fill the endpoint and give way to an AP once
// stale, long before a deadline would free a place.
TEST(BothEndpointsHostile, IdleConnectionsMakeRoomForAnAp) {
    EdgeDeadlinesForTest deadlines(
        {.handshake_ms = 60000, .request_ms = 60000, .stale_handshake_ms = 300});
    struct Case {
        const Endpoint& endpoint;
        bool handshake, one_address;
        Refusal counted;
        int32_t refused;      // by the time the AP is served
        const char* dropped;  // what the stale line calls it; null: no line is due
    };
    const Case cases[] = {
        {kEndpoints[0], false, false, Refusal::kStaleHandshake, 1, "TLS handshake"},
        {kEndpoints[1], false, false, Refusal::kFreeStaleHandshake, 1, "connection"},
        {kEndpoints[1], true, false, Refusal::kFreeStaleHandshake, 1, nullptr},
        {kEndpoints[1], true, true, Refusal::kFreeConnectionsPerAddress,
         kMaxFreeRequests - kMaxFreeConnectionsPerAddress, nullptr},
    };
    int subnet = 32;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.endpoint.label << c.handshake << c.one_address);
        HttpsBed bed;
        bed.start_servers();
        const std::string prefix = "127.0." + std::to_string(++subnet);
        const uint64_t before = refusal_count(c.counted);
        const int32_t limit = c.endpoint.authorized ? kMaxAuthConnections : kMaxFreeRequests;
        auto idle = bed.serve_while([&, port = endpoint_port(bed, c.endpoint)] {
            std::vector<std::unique_ptr<TlsClient>> held;
            for (int i = 1; i <= limit; ++i) {
                const std::string ip = prefix + "." + std::to_string(c.one_address ? 1 : i);
                auto& client = held.emplace_back(std::make_unique<TlsClient>(client_at(ip)));
                c.handshake ? client->connect(port) : client->connect_plain(port);
            }
            return held;
        });
        const int32_t& taken = c.endpoint.authorized ? https_counters().auth_connections
                                                     : https_counters().free_connections;
        if (!c.one_address) {
            ASSERT_TRUE(bed.run_until([&] { return taken == limit; }));
            bed.run_until([] { return false; }, 400ms);
        }
        EXPECT_EQ(report_from(bed, c.endpoint, prefix + ".200").body, kNoted);
        EXPECT_EQ(refusal_count(c.counted) - before, static_cast<uint64_t>(c.refused));
        if (c.dropped) {
            EXPECT_EQ(lines_starting(bed.trace, std::string(endpoint_name(c.endpoint)) +
                                                    " HTTPS: connections limit reached, stale " +
                                                    c.dropped +
                                                    " dropped (connections closed since the last "
                                                    "line: 1, the last from " +
                                                    prefix + ".")
                          .size(),
                      1u);
        }
        EXPECT_TRUE(bed.run_until(
            [&] { return taken == (c.one_address ? kMaxFreeConnectionsPerAddress : limit - 1); }));
        idle.clear();
        EXPECT_TRUE(bed.run_until([] { return guard_connection_count() == 0; }));
    }
}

// One address opening 100 connections gets a few; the refusals are counted and
// logged at most once a second, and an AP is served meanwhile.
TEST(AuthEndpointHostile, OneAddressGetsFewUnfinishedHandshakes) {
    HttpsBed bed;
    bed.start_servers();
    const std::string prefix = "HTTPS: unfinished TLS handshakes per address limit exceeded";
    const uint64_t refused = refusal_count(Refusal::kHandshakesPerAddress);
    const int excess = kMaxAuthConnections - kMaxHandshakesPerAddress;
    auto idle = bed.serve_while(
        [&, port = bed.auth_port()] { return idle_from(port, kMaxAuthConnections, "127.0.34.1"); });
    ASSERT_TRUE(bed.run_until([&] {
        return refusal_count(Refusal::kHandshakesPerAddress) - refused ==
               static_cast<uint64_t>(excess);
    }));
    EXPECT_EQ(https_counters().auth_connections, kMaxHandshakesPerAddress);
    EXPECT_EQ(report_from(bed, kEndpoints[0], "127.0.34.200").body, kNoted);
    EXPECT_TRUE(
        bed.run_until([&] { return sum(refusal_counts(bed.trace, prefix)) == excess; }, 3s));
    EXPECT_EQ(
        lines_starting(bed.trace, prefix),
        (std::vector<std::string>{
            prefix + " (connections refused since the last line: 1, the last from 127.0.34.1)",
            prefix + " (connections refused since the last line: " + std::to_string(excess - 1) +
                ", the last from 127.0.34.1)"}));
    idle.clear();
    EXPECT_TRUE(bed.run_until([] { return guard_connection_count() == 0; }));
}

// 100 connections from one address send their headers, then trickle their
// bodies: a few hold request slots, only until the request deadline.
TEST(FreeEndpointHostile, TrickledBodiesHoldFewSlotsAndNotForLong) {
    std::signal(SIGPIPE, SIG_IGN);  // the trickle goes on after the close
    EdgeDeadlinesForTest deadlines(
        {.handshake_ms = 3000, .request_ms = 1500, .stale_handshake_ms = 1000});
    HttpsBed bed;
    bed.start_servers();
    const std::string attacker = "127.0.32.1";
    const uint64_t refused = refusal_count(Refusal::kFreeRequestsPerAddress) +
                             refusal_count(Refusal::kFreeConnectionsPerAddress);
    const std::string length = "5000";
    const std::string head = ott_post("/register/ap", kJson, "{", &length);
    const auto start = Clock::now();
    auto trickling = bed.serve_while([&, port = bed.free_port()] {
        std::vector<std::unique_ptr<TlsClient>> held;
        for (int i = 0; i < kMaxFreeRequests; ++i) {
            auto& client = held.emplace_back(std::make_unique<TlsClient>(client_at(attacker)));
            if (client->connect(port))
                client->send(head);
        }
        return held;
    });
    // Refused when they bind a request, or before their handshake once the
    // address holds all the places it may.
    ASSERT_TRUE(bed.run_until([&] {
        return refusal_count(Refusal::kFreeRequestsPerAddress) +
                   refusal_count(Refusal::kFreeConnectionsPerAddress) - refused ==
               static_cast<uint64_t>(kMaxFreeRequests - kMaxFreeRequestsPerAddress);
    }));
    EXPECT_EQ(https_counters().free_request_sessions, kMaxFreeRequestsPerAddress);
    EXPECT_EQ(report_from(bed, kEndpoints[1], "127.0.32.200").body, kNoted);

    auto last = Clock::now();
    EXPECT_TRUE(bed.run_until(
        [&] {
            if (Clock::now() - last >= 200ms) {
                last = Clock::now();
                for (auto& client : trickling)
                    client->send(" ");
            }
            return https_counters().free_request_sessions == 0;
        },
        5s));
    EXPECT_GE(Clock::now() - start, 1400ms);
    const std::string prefix = "HTTPS: request not received in time";
    EXPECT_TRUE(bed.run_until(
        [&] { return sum(refusal_counts(bed.trace, prefix)) == kMaxFreeRequestsPerAddress; }, 3s));
    const auto lines = lines_starting(bed.trace, prefix);
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(lines.front().find("the last from " + attacker), std::string::npos);
    trickling.clear();
    EXPECT_TRUE(bed.run_until([] { return guard_connection_count() == 0; }));
}

}  // namespace
