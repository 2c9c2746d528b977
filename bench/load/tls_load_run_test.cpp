// dor-tls-load against a small TLS server of its own on loopback: the APs it
// plays, what it counts and how it fails.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <jansson.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "bench/load/ap_identity.h"
#include "bench/load/load_run.h"
#include "bench/load/tls_exchange.h"

namespace {

// Answers every request with one fixed text and sends `tickets` session tickets;
// notes where each request came from and its body.
class TlsServer {
  public:
    TlsServer(std::string answer, int tickets) : answer_(std::move(answer)) {
        key_.reset(EVP_EC_gen("P-256"));
        cert_.reset(X509_new());
        X509_set_version(cert_.get(), 2);
        ASN1_INTEGER_set(X509_get_serialNumber(cert_.get()), 1);
        X509_gmtime_adj(X509_getm_notBefore(cert_.get()), 0);
        X509_gmtime_adj(X509_getm_notAfter(cert_.get()), 3600);
        X509_NAME* name = X509_get_subject_name(cert_.get());
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
        X509_set_issuer_name(cert_.get(), name);
        X509_set_pubkey(cert_.get(), key_.get());
        X509_sign(cert_.get(), key_.get(), EVP_sha256());
        ctx_.reset(SSL_CTX_new(TLS_server_method()));
        SSL_CTX_use_certificate(ctx_.get(), cert_.get());
        SSL_CTX_use_PrivateKey(ctx_.get(), key_.get());
        SSL_CTX_set_num_tickets(ctx_.get(), static_cast<size_t>(tickets));

        listener_ = UniqueFd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof addr;
        if (bind(listener_.get(), reinterpret_cast<sockaddr*>(&addr), size) != 0 ||
            listen(listener_.get(), 64) != 0 ||
            getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&addr), &size) != 0) {
            return;
        }
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~TlsServer() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    TlsServer(const TlsServer&) = delete;
    TlsServer& operator=(const TlsServer&) = delete;

    int port() const { return port_; }
    std::multiset<std::string> peers() {
        std::lock_guard lock(mutex_);
        return peers_;
    }
    std::multiset<std::string> macs() {
        std::lock_guard lock(mutex_);
        return macs_;
    }

  private:
    void serve() {
        while (!stop_) {
            pollfd ready{listener_.get(), POLLIN, 0};
            if (poll(&ready, 1, 20) != 1) {
                continue;
            }
            sockaddr_in peer{};
            socklen_t size = sizeof peer;
            UniqueFd fd(accept(listener_.get(), reinterpret_cast<sockaddr*>(&peer), &size));
            if (fd.get() >= 0) {
                answer(fd.get(), peer);
            }
        }
    }

    void answer(int fd, const sockaddr_in& peer) {
        SslPtr ssl(SSL_new(ctx_.get()));
        SSL_set_fd(ssl.get(), fd);
        if (SSL_accept(ssl.get()) != 1) {
            return;
        }
        std::string request;
        char buf[4096];
        size_t head_end = std::string::npos;
        size_t length = 0;
        while (head_end == std::string::npos || request.size() < head_end + 4 + length) {
            const int n = SSL_read(ssl.get(), buf, sizeof buf);
            if (n <= 0) {
                return;
            }
            request.append(buf, static_cast<size_t>(n));
            if (head_end == std::string::npos &&
                (head_end = request.find("\r\n\r\n")) != std::string::npos) {
                const size_t at = request.find("Content-Length: ");
                length = at < head_end ? std::stoul(request.substr(at + 16)) : 0;
            }
        }
        note(peer, request.substr(head_end + 4));
        SSL_write(ssl.get(), answer_.data(), static_cast<int>(answer_.size()));
        SSL_shutdown(ssl.get());
    }

    void note(const sockaddr_in& peer, const std::string& body) {
        char address[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &peer.sin_addr, address, sizeof address);
        std::unique_ptr<json_t, void (*)(json_t*)> json(json_loads(body.c_str(), 0, nullptr),
                                                        json_decref);
        const char* mac = json ? json_string_value(json_object_get(json.get(), "mac")) : nullptr;
        std::lock_guard lock(mutex_);
        peers_.insert(address);
        macs_.insert(mac != nullptr ? mac : "");
    }

    std::string answer_;
    PkeyPtr key_;
    X509Ptr cert_;
    SslCtxPtr ctx_;
    UniqueFd listener_;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::multiset<std::string> peers_;
    std::multiset<std::string> macs_;
};

LoadOptions options(int port, int clients, int rounds) {
    LoadOptions opts;
    opts.port = port;
    opts.clients = clients;
    opts.rounds = rounds;
    opts.request_timeout_ms = 5000;
    opts.run_timeout_s = 30;
    opts.addr_base = Ipv4Addr::from_str("127.0.9.253");
    opts.mac_base = MacAddr::from_str("02:b0:00:00:09:ff");
    return opts;
}

const std::string kJsonAnswer =
    "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 15\r\n\r\n"
    "{\"code\":4027}\r\n";

TEST(LoadRun, EachClientIsItsOwnAp) {
    TlsServer server(kJsonAnswer, 2);
    ASSERT_NE(server.port(), 0);
    std::string error;
    const auto result = run_load(options(server.port(), 3, 2), &error);
    ASSERT_TRUE(result) << error;

    EXPECT_TRUE(result->failures.empty()) << result->first_failure;
    EXPECT_EQ(result->latencies_ms.size(), 6u);
    EXPECT_EQ(result->connections, 6u);
    EXPECT_EQ(result->tickets, 12u);
    EXPECT_EQ(result->body_bytes, 6u * 15);
    EXPECT_EQ(result->statuses, (std::map<int, uint64_t>{{200, 6}}));
    // Two requests from each of three addresses and MACs, across an octet boundary.
    EXPECT_EQ(server.peers(),
              (std::multiset<std::string>{"127.0.9.253", "127.0.9.253", "127.0.9.254",
                                          "127.0.9.254", "127.0.10.1", "127.0.10.1"}));
    EXPECT_EQ(server.macs(), (std::multiset<std::string>{
                                 "02:b0:00:00:09:ff", "02:b0:00:00:09:ff", "02:b0:00:00:0a:00",
                                 "02:b0:00:00:0a:00", "02:b0:00:00:0a:01", "02:b0:00:00:0a:01"}));
}

TEST(LoadRun, CountsWhatItDidNotExpect) {
    struct Case {
        const char* name;
        std::string answer;
        int tickets;
        const char* expect_text;
        const char* failure;  // empty: every request answered as expected
        uint64_t tickets_seen;
    };
    const std::vector<Case> cases = {
        {"as expected, no tickets", kJsonAnswer, 0, "4027", "", 0},
        {"another status", "HTTP/1.1 400 Bad\r\nContent-Length: 2\r\n\r\n{}", 1, "", "status", 2},
        {"body without the text", kJsonAnswer, 0, "4028", "body", 0},
        {"cut short", "HTTP/1.1 200 OK\r\nContent-Length: 50\r\n\r\n{}", 0, "", "read", 0},
        {"not HTTP", "SSH-2.0-x\r\n\r\n", 0, "", "http", 0},
    };
    for (const auto& c : cases) {
        TlsServer server(c.answer, c.tickets);
        LoadOptions opts = options(server.port(), 2, 1);
        opts.expect_text = c.expect_text;
        std::string error;
        const auto result = run_load(opts, &error);
        ASSERT_TRUE(result) << c.name << ": " << error;
        const std::map<std::string, uint64_t> failures =
            *c.failure == '\0' ? std::map<std::string, uint64_t>{}
                               : std::map<std::string, uint64_t>{{c.failure, 2}};
        EXPECT_EQ(result->failures, failures) << c.name << ": " << result->first_failure;
        EXPECT_EQ(result->latencies_ms.size(), *c.failure == '\0' ? 2u : 0u) << c.name;
        EXPECT_EQ(result->tickets, c.tickets_seen) << c.name;
    }
}

TEST(LoadRun, NobodyListening) {
    int port = 0;
    {
        TlsServer gone(kJsonAnswer, 0);
        port = gone.port();
    }
    std::string error;
    const auto result = run_load(options(port, 1, 1), &error);
    ASSERT_TRUE(result) << error;
    EXPECT_EQ(result->failures, (std::map<std::string, uint64_t>{{"connect", 1}}));
    EXPECT_TRUE(result->latencies_ms.empty());
}

}  // namespace
