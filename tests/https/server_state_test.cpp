// Start, stop and restart of the two servers, deferred stops, certificate
// aging and the self-signed certificate.

#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "app/service_settings.h"
#include "https/client_cert.h"
#include "https/self_signed.h"
#include "tests/https/https_bed.h"

namespace {

using namespace std::chrono_literals;

// A port taken by another program is covered with the whole service in
// https_process_test.
TEST(ServerState, RestartFollowsTheConfiguration) {
    struct Case {
        const char* label;
        bool auth;
        void (*change)(SaConfig&);
        ServerState expected;
        int attempts;  // "Starting" lines, each failed one followed by a failure line
    };
    const Case cases[] = {
        {"free enabled", false, [](SaConfig&) {}, RUNNING, 1},
        {"free, incoming 1", false, [](SaConfig& c) { c.set_incoming_connections(1); }, STOPPED, 0},
        {"auth, incoming 1", true, [](SaConfig& c) { c.set_incoming_connections(1); }, STOPPED, 0},
        {"no CA file", true, [](SaConfig& c) { c.ca_file.clear(); }, STOPPED, 0},
        {"no certificate file", true, [](SaConfig& c) { c.cert_file.clear(); }, STOPPED, 0},
        {"no key file", true, [](SaConfig& c) { c.key_file.clear(); }, STOPPED, 0},
        {"no AP certificate dir", true, [](SaConfig& c) { c.ap_cert_dir.clear(); }, STOPPED, 0},
        {"unreadable key", true, [](SaConfig& c) { c.key_file += ".missing"; }, FAILED, 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        HttpsBed bed;
        c.change(bed.config);
        const int port = c.auth ? bed.auth_port() : bed.free_port();
        LwsServerBase& server = c.auth ? static_cast<LwsServerBase&>(bed.servers.auth_server())
                                       : bed.servers.free_server();
        server.restart(bed.config);
        EXPECT_EQ(server.state(), c.expected);
        EXPECT_EQ(bed.trace.count("Starting https endpoint on port " + std::to_string(port) +
                                  (c.auth ? " LwsServerAuthorized" : " LwsServerFree")),
                  c.attempts);
        EXPECT_EQ(bed.trace.count("Failed to create vhost <https>"),
                  c.expected == FAILED ? c.attempts : 0);
        EXPECT_EQ(wait_listening(port, 0ms), c.expected == RUNNING);
    }
}

// The old vhost's listener and connections must go at once, or the new vhost
// would share the dying listener.
TEST(ServerState, RestartEndsItsConnectionsAndListensOnTheSameOrANewPort) {
    HttpsBed bed;
    bed.start_servers();
    const std::string ip = "127.0.11.1";
    auto pending = post_held(bed, kEndpoints[1], ip,
                             ott_post("/register/ap", kJson, ap_body("02:00:00:00:00:01")));
    bed.servers.free_server().restart(bed.config);
    EXPECT_EQ(bed.servers.free_server().state(), RUNNING);
    EXPECT_EQ(bed.trace.count("using listen skt from vhost free server\\n"), 0);
    EXPECT_EQ(bed.await(pending).status, 0);
    EXPECT_EQ(bed.servers.free_server().waiting_count(), 0u);
    EXPECT_NE(bed.trace.find("Clear json AP (" + ip + ")"), nullptr);
    const int port = bed.free_port();
    const HttpAnswer answer = bed.serve_while(
        [&] { return exchange(client_at(ip), port, ott_post("/report/ap", kJson, "{}")); });
    EXPECT_EQ(answer.status, 200);

    bed.config.set_ports(free_port_pair());
    bed.servers.free_server().restart(bed.config);
    EXPECT_EQ(bed.servers.free_server().state(), RUNNING);
    EXPECT_TRUE(wait_listening(bed.free_port(), 0ms));
    EXPECT_FALSE(wait_listening(port, 0ms));
}

TEST(ServerState, StopFromACallbackWaitsUntilLwsHasReturned) {
    HttpsBed bed;
    bed.start_servers();
    ASSERT_EQ(bed.servers.auth_server().state(), RUNNING);
    // lws runs timers inside lws_service, like any callback.
    static ServerState seen;
    seen = STOPPED;
    lws_sorted_usec_list_t sul{};
    lws_sul_schedule(
        bed.servers.context(), 0, &sul,
        [](lws_sorted_usec_list_t*) {
            disable_authorized_endpoint(*g_auth_server);
            seen = g_auth_server->state();
        },
        1000);
    bed.run_until([&] { return seen != STOPPED; });
    EXPECT_EQ(seen, STOP_PENDING);
    EXPECT_EQ(bed.servers.auth_server().state(), STOPPED);
    EXPECT_EQ(bed.servers.free_server().state(), RUNNING);
    EXPECT_FALSE(wait_listening(bed.auth_port(), 0ms));
    EXPECT_TRUE(bed.config.ca_file.empty() && bed.config.cert_file.empty() &&
                bed.config.key_file.empty() && bed.config.ap_cert_dir.empty());
    bed.turn();
    const auto drops = bed.sent_as<IPC_MSG__DROP_AUTH>();
    ASSERT_EQ(drops.size(), 1u);
    EXPECT_EQ(*drops[0]->target, "all");
    EXPECT_FALSE(drops[0]->flag);
    // Disabled: a restart leaves it stopped.
    bed.servers.auth_server().restart(bed.config);
    EXPECT_EQ(bed.servers.auth_server().state(), STOPPED);
}

// lws checks every vhost's certificate at the first service turn, and after that
// inside every vhost creation, where the stop it causes has to wait for lws.
TEST(ServerState, CertificateAgingSwitchesTheAuthorizedEndpointOff) {
    enum class Aged {
        BeforeFirstTurn,   // before the authorized server starts
        WhileRunning,      // while both run, before the first turn
        AfterTurnAtStart,  // the start-up messages 130, 139 and 145, after a turn
        AfterTurnRunning,  // while both run after a turn; a 130 restarts the free server
    };
    struct Case {
        const char* cert;
        const char* word;  // in "Certificate [%s] is %s"
        Aged when;
    };
    const Case cases[] = {
        {"server-expired.pem", "expired", Aged::BeforeFirstTurn},
        {"server-future.pem", "not yet valid", Aged::WhileRunning},
        {"server-expired.pem", "expired", Aged::AfterTurnAtStart},
        {"server-future.pem", "not yet valid", Aged::AfterTurnRunning},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.cert + std::string(" ") + std::to_string(static_cast<int>(c.when)));
        HttpsBed bed;
        const Servers servers{&bed.servers.free_server(), &bed.servers.auth_server()};
        const std::string aged = test_pki().path(c.cert);
        switch (c.when) {
            case Aged::BeforeFirstTurn:
                bed.config.cert_file = aged;
                bed.servers.auth_server().restart(bed.config);
                ASSERT_EQ(bed.servers.auth_server().state(), RUNNING);
                break;
            case Aged::WhileRunning:
            case Aged::AfterTurnRunning:
                bed.start_servers();
                if (c.when == Aged::AfterTurnRunning) {
                    bed.turn();
                }
                bed.config.cert_file = aged;
                apply_ports(bed.config, servers, bed.config.free_port, !bed.config.auto_auth);
                break;
            case Aged::AfterTurnAtStart: {
                const TlsFiles files{bed.config.ca_file, aged, bed.config.key_file,
                                     bed.config.ap_cert_dir};
                bed.config.set_incoming_connections(SaConfig::kDefaultIncomingConnections);
                bed.turn();
                apply_ports(bed.config, servers, bed.config.free_port, bed.config.auto_auth);
                apply_tls_files(bed.config, servers, files.ca_file, files.key_file, files.cert_file,
                                files.ap_cert_dir);
                apply_incoming_connections(bed.config, servers, 0);
                break;
            }
        }
        bed.turn();
        bed.turn();
        EXPECT_EQ(bed.trace.count("Certificate [" + aged + "] is " + c.word), 1);
        EXPECT_EQ(bed.servers.auth_server().state(), STOPPED);
        EXPECT_FALSE(wait_listening(bed.auth_port(), 0ms));
        EXPECT_EQ(wait_listening(bed.free_port(), 0ms), c.when != Aged::BeforeFirstTurn);
        EXPECT_TRUE(bed.config.cert_file.empty());
        EXPECT_EQ(bed.sent_as<IPC_MSG__DROP_AUTH>().size(), 1u);
        EXPECT_EQ(bed.trace.count("Failed to create vhost <https>"), 0);
        // A vhost left behind would look for stored AP certificates at "/".
        const HttpAnswer answer = bed.serve_while([&] {
            return exchange(endpoint_client(kEndpoints[0], "127.0.11.2"), bed.auth_port(),
                            ott_post("/report/ap", kJson, "{}"));
        });
        EXPECT_EQ(answer.status, 0);
        EXPECT_FALSE(
            std::any_of(bed.trace.lines.begin(), bed.trace.lines.end(), [](const TraceLine& line) {
                return line.text.find("Certificate file [/") != std::string::npos;
            }));
    }
}

TEST(CertificateValidity, ReadsTheValidityPeriod) {
    // The aged certificates are read by the server in CertificateAging.
    for (const char* file : {"server.pem", "server.key", "missing.pem"}) {
        EXPECT_FALSE(certificate_out_of_validity(test_pki().path(file))) << file;
    }
}

std::unique_ptr<X509, decltype(&X509_free)> read_certificate(const std::string& path) {
    std::unique_ptr<FILE, decltype(&std::fclose)> f(std::fopen(path.c_str(), "r"), std::fclose);
    return {f ? PEM_read_X509(f.get(), nullptr, nullptr, nullptr) : nullptr, X509_free};
}

TEST(SelfSigned, MadeOnceAndRemadeWhenAFileIsMissing) {
    TempDir dir;
    const std::string cert = dir.path() + "/selfsigned.pem", key = dir.path() + "/selfsigned.key";
    ensure_self_signed_files(cert, key);
    auto made = read_certificate(cert);
    ASSERT_TRUE(made);
    char name[64] = {};
    X509_NAME_get_text_by_NID(X509_get_subject_name(made.get()), NID_commonName, name, sizeof name);
    EXPECT_STREQ(name, "DOR");
    EXPECT_EQ(EVP_PKEY_get_bits(X509_get0_pubkey(made.get())), 2048);
    int days = 0, seconds = 0;
    ASN1_TIME_diff(&days, &seconds, X509_get0_notBefore(made.get()),
                   X509_get0_notAfter(made.get()));
    EXPECT_EQ(days, 365);
    ensure_self_signed_files(cert, key);  // both present: kept
    EXPECT_EQ(X509_cmp(read_certificate(cert).get(), made.get()), 0);
    std::filesystem::remove(key);  // one gone: both made again
    ensure_self_signed_files(cert, key);
    EXPECT_TRUE(std::filesystem::exists(key));
    EXPECT_NE(X509_cmp(read_certificate(cert).get(), made.get()), 0);
}

TEST(ServiceStep, IpcTrafficEndsTheWait) {
    HttpsBed bed;
    bed.start_servers();
    bed.turn();
    auto sender = std::async(std::launch::async, [&] {
        std::this_thread::sleep_for(50ms);
        return bed.ipc.client.send(IPC_MSG__TZ_UPDATE{});
    });
    const auto start = std::chrono::steady_clock::now();
    bed.servers.service(10000);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_EQ(sender.get(), IPC_OK);
    EXPECT_EQ(bed.ipc.port.run_once_for_timeout(0), 1);
}

}  // namespace
