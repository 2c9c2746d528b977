// Start, stop and restart of the two servers, deferred stops, certificate
// aging and the self-signed certificate.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include <thread>

#include "dialogue/ap_data_unauthorized.h"
#include "https/client_cert.h"
#include "https/self_signed.h"
#include "libs/ipc/ipc_client.h"
#include "tests/https/https_bed.h"
#include "tests/https/tls_client.h"

namespace {

enum class Which { FREE, AUTH };

LwsServerBase& server(HttpsBed& bed, Which which) {
    if (which == Which::FREE) {
        return bed.servers.free_server();
    }
    return bed.servers.auth_server();
}

const char* starting_line(Which which) {
    return which == Which::FREE ? "LwsServerFree" : "LwsServerAuthorized";
}

int starting_lines(const HttpsBed& bed, Which which, int port) {
    return bed.trace.count("Starting https endpoint on port " + std::to_string(port) + " " +
                           starting_line(which));
}

TEST(ServerState, FreshServersAreStoppedAndListenNowhere) {
    HttpsBed bed;
    EXPECT_EQ(bed.servers.free_server().state(), STOPPED);
    EXPECT_EQ(bed.servers.auth_server().state(), STOPPED);
    bed.turn();
    EXPECT_FALSE(can_connect(bed.free_port()));
    EXPECT_FALSE(can_connect(bed.auth_port()));
}

TEST(ServerState, RestartFollowsTheConfiguration) {
    struct Case {
        const char* label;
        Which which;
        std::function<void(SaConfig&)> change;
        bool take_port;
        ServerState expected;
        int attempts;  // "Starting" lines, each failed one followed by a failure line
    };
    const TestPki& pki = test_pki();
    const Case cases[] = {
        {"free enabled", Which::FREE, [](SaConfig&) {}, false, RUNNING, 1},
        {"authorized enabled", Which::AUTH, [](SaConfig&) {}, false, RUNNING, 1},
        {"free, incoming mode 1", Which::FREE, [](SaConfig& c) { c.set_incoming_connections(1); },
         false, STOPPED, 0},
        {"authorized, incoming mode 1", Which::AUTH,
         [](SaConfig& c) { c.set_incoming_connections(1); }, false, STOPPED, 0},
        {"authorized, no CA file", Which::AUTH, [](SaConfig& c) { c.ca_file.clear(); }, false,
         STOPPED, 0},
        {"authorized, no certificate file", Which::AUTH, [](SaConfig& c) { c.cert_file.clear(); },
         false, STOPPED, 0},
        {"authorized, no key file", Which::AUTH, [](SaConfig& c) { c.key_file.clear(); }, false,
         STOPPED, 0},
        {"authorized, no AP certificate directory", Which::AUTH,
         [](SaConfig& c) { c.ap_cert_dir.clear(); }, false, STOPPED, 0},
        {"authorized, unreadable key", Which::AUTH,
         [&](SaConfig& c) { c.key_file = pki.path("missing.key"); }, false, FAILED, 5},
        {"free, port taken", Which::FREE, [](SaConfig&) {}, true, FAILED, 5},
        {"authorized, port taken", Which::AUTH, [](SaConfig&) {}, true, FAILED, 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        HttpsBed bed;
        c.change(bed.config);
        const int port = c.which == Which::FREE ? bed.free_port() : bed.auth_port();
        std::unique_ptr<PortTaker> taker;
        if (c.take_port) {
            taker = std::make_unique<PortTaker>(port);
        }
        server(bed, c.which).restart(bed.config);
        EXPECT_EQ(server(bed, c.which).state(), c.expected);
        EXPECT_EQ(starting_lines(bed, c.which, port), c.attempts);
        EXPECT_EQ(bed.trace.count("Failed to create vhost <https>"),
                  c.expected == FAILED ? c.attempts : 0);
        if (!c.take_port) {
            EXPECT_EQ(can_connect(port), c.expected == RUNNING);
        }
    }
}

TEST(ServerState, RestartOfARunningServerListensAgainOnTheNewPort) {
    HttpsBed bed;
    bed.start_servers();
    const int old_port = bed.free_port();
    bed.config.set_ports(free_port_pair());
    bed.servers.free_server().restart(bed.config);
    EXPECT_EQ(bed.servers.free_server().state(), RUNNING);
    EXPECT_TRUE(can_connect(bed.free_port()));
    EXPECT_FALSE(can_connect(old_port));
}

// The old vhost's listener and connections must go at once, or the new vhost
// would share the dying listener.
TEST(ServerState, RestartOnTheSamePortEndsItsConnectionsAndListensAgain) {
    HttpsBed bed;
    bed.start_servers();
    const int port = bed.free_port();
    const std::string ip = "127.0.11.1";
    auto pending = std::async(std::launch::async, [&] {
        return exchange(client_at(ip), port,
                        ott_post("/register/ap", kJson, ap_body("02:00:00:00:00:01")));
    });
    ASSERT_TRUE(bed.run_until([&] {
        auto ap = bed.unauthed.find(ip);
        return ap && ap->params;
    }));
    bed.servers.free_server().restart(bed.config);
    EXPECT_EQ(bed.servers.free_server().state(), RUNNING);
    EXPECT_EQ(bed.trace.count("using listen skt from vhost free server\\n"), 0);
    bed.run_until(
        [&] { return pending.wait_for(std::chrono::seconds(0)) == std::future_status::ready; });
    EXPECT_EQ(pending.get().status, 0);
    EXPECT_EQ(bed.servers.free_server().waiting_count(), 0u);
    EXPECT_NE(bed.trace.find("Clear json AP (" + ip + ")"), nullptr);
    const HttpAnswer answer = bed.serve_while(
        [&] { return exchange(client_at(ip), port, ott_post("/report/ap", kJson, "{}")); });
    EXPECT_EQ(answer.status, 200);
}

// lws runs timers inside lws_service, like any callback.
struct StopFromTimer {
    lws_sorted_usec_list_t sul{};
    ServerState seen = STOPPED;
    static void fire(lws_sorted_usec_list_t* sul) {
        auto* self = reinterpret_cast<StopFromTimer*>(sul);
        disable_authorized_endpoint(*g_auth_server);
        self->seen = g_auth_server->state();
    }
};

TEST(ServerState, StopFromACallbackWaitsForTheEndOfTheServiceStep) {
    HttpsBed bed;
    bed.start_servers();
    ASSERT_EQ(bed.servers.auth_server().state(), RUNNING);
    StopFromTimer stop;
    lws_sul_schedule(bed.servers.context(), 0, &stop.sul, StopFromTimer::fire, 1000);
    bed.run_until([&] { return stop.seen != STOPPED; });

    EXPECT_EQ(stop.seen, STOP_PENDING);
    EXPECT_EQ(bed.servers.auth_server().state(), STOPPED);
    EXPECT_EQ(bed.servers.free_server().state(), RUNNING);
    EXPECT_FALSE(can_connect(bed.auth_port()));
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

// lws checks every vhost's certificate after a vhost has been created.
TEST(ServerState, CertificateAgingSwitchesTheAuthorizedEndpointOff) {
    struct Case {
        const char* label;
        const char* ca;    // CA file of the configuration
        const char* cert;  // certificate file of the configuration
        const char* word;  // in "Certificate [%s] is %s"; null: stays on
        const char* aged;  // the file named in that line
    };
    const Case cases[] = {
        {"expired certificate", "ca.pem", "server-expired.pem", "expired", "server-expired.pem"},
        {"certificate not yet valid", "ca.pem", "server-future.pem", "not yet valid",
         "server-future.pem"},
        {"valid files", "ca.pem", "server.pem", nullptr, nullptr},
    };
    const TestPki& pki = test_pki();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        HttpsBed bed;
        bed.config.ca_file = pki.path(c.ca);
        bed.config.cert_file = pki.path(c.cert);
        bed.config.key_file = pki.path("server.key");
        bed.servers.auth_server().restart(bed.config);
        ASSERT_EQ(bed.servers.auth_server().state(), RUNNING);
        // lws checks the certificates in its next service step.
        bed.turn();
        bed.turn();
        if (c.word == nullptr) {
            EXPECT_EQ(bed.servers.auth_server().state(), RUNNING);
            EXPECT_TRUE(bed.sent_as<IPC_MSG__DROP_AUTH>().empty());
            continue;
        }
        const std::string line = "Certificate [" + pki.path(c.aged) + "] is " + std::string(c.word);
        EXPECT_EQ(bed.trace.count(line), 1);
        EXPECT_EQ(bed.servers.auth_server().state(), STOPPED);
        EXPECT_FALSE(can_connect(bed.auth_port()));
        EXPECT_TRUE(bed.config.cert_file.empty());
        EXPECT_EQ(bed.sent_as<IPC_MSG__DROP_AUTH>().size(), 1u);
    }
}

TEST(ServerState, AgingCheckAfterTheOtherServerStartsStopsTheAuthorizedOnly) {
    HttpsBed bed;
    bed.servers.auth_server().restart(bed.config);
    ASSERT_EQ(bed.servers.auth_server().state(), RUNNING);
    // The certificate file ages while the vhost runs.
    bed.config.cert_file = test_pki().path("server-expired.pem");
    bed.servers.free_server().restart(bed.config);
    EXPECT_EQ(bed.servers.free_server().state(), RUNNING);
    bed.turn();
    EXPECT_EQ(bed.servers.auth_server().state(), STOPPED);
    EXPECT_FALSE(can_connect(bed.auth_port()));
    EXPECT_TRUE(can_connect(bed.free_port()));
}

TEST(CertificateValidity, ReadsTheValidityPeriod) {
    struct Case {
        const char* file;
        bool out_of_validity;
    };
    const Case cases[] = {
        {"server.pem", false}, {"server-expired.pem", true}, {"server-future.pem", true},
        {"server.key", false}, {"missing.pem", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        EXPECT_EQ(certificate_out_of_validity(test_pki().path(c.file)), c.out_of_validity);
    }
}

struct X509Free {
    void operator()(X509* p) const { X509_free(p); }
};

std::unique_ptr<X509, X509Free> read_certificate(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "r");
    if (f == nullptr) {
        return nullptr;
    }
    std::unique_ptr<X509, X509Free> cert(PEM_read_X509(f, nullptr, nullptr, nullptr));
    std::fclose(f);
    return cert;
}

ino_t inode(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

TEST(SelfSigned, MadeOnceAndRemadeWhenAFileIsMissing) {
    TempDir dir;
    const std::string cert = dir.path() + "/selfsigned.pem";
    const std::string key = dir.path() + "/selfsigned.key";

    ensure_self_signed_files(cert, key);
    auto made = read_certificate(cert);
    ASSERT_TRUE(made);
    char name[64] = {};
    X509_NAME_get_text_by_NID(X509_get_subject_name(made.get()), NID_commonName, name, sizeof name);
    EXPECT_STREQ(name, "DOR");
    EXPECT_EQ(EVP_PKEY_get_bits(X509_get0_pubkey(made.get())), 2048);
    int days = 0;
    int seconds = 0;
    ASN1_TIME_diff(&days, &seconds, X509_get0_notBefore(made.get()),
                   X509_get0_notAfter(made.get()));
    EXPECT_EQ(days, 365);

    // Both present: kept as they are.
    const ino_t first = inode(cert);
    ensure_self_signed_files(cert, key);
    EXPECT_EQ(inode(cert), first);
    EXPECT_EQ(X509_cmp(read_certificate(cert).get(), made.get()), 0);

    // The key gone: both made again.
    std::filesystem::remove(key);
    ensure_self_signed_files(cert, key);
    EXPECT_TRUE(std::filesystem::exists(key));
    EXPECT_NE(X509_cmp(read_certificate(cert).get(), made.get()), 0);
}

}  // namespace

namespace {

TEST(ServiceStep, IpcTrafficEndsTheWait) {
    HttpsBed bed;
    bed.start_servers();
    bed.turn();
    IpcClient controller;
    ASSERT_TRUE(controller.connect(bed.ipc.dir(), SA_PORT_ID, nullptr));
    bed.turn();
    auto sender = std::async(std::launch::async, [&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return controller.send(IPC_MSG__TZ_UPDATE{});
    });
    const auto start = std::chrono::steady_clock::now();
    bed.servers.service(10000);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(sender.get(), IPC_OK);
    EXPECT_LT(waited, std::chrono::seconds(5));
    EXPECT_EQ(bed.ipc.port.run_once_for_timeout(0), 1);
}

}  // namespace
