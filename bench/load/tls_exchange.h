#pragma once
// One request of one AP on a new TLS connection: connect from the AP's own
// address, handshake (with its client certificate when it has one), send,
// read the whole answer, close. Non-blocking; driven on every readiness of its
// socket (edge-triggered) until it is done.

#include <netinet/in.h>
#include <openssl/ssl.h>

#include <chrono>
#include <memory>
#include <string>

#include "bench/load/http_response.h"
#include "registry/addr.h"

using Clock = std::chrono::steady_clock;

struct SslFree {
    void operator()(SSL* ssl) const { SSL_free(ssl); }
    void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
    void operator()(X509* cert) const { X509_free(cert); }
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using SslPtr = std::unique_ptr<SSL, SslFree>;
using SslCtxPtr = std::unique_ptr<SSL_CTX, SslFree>;
using X509Ptr = std::unique_ptr<X509, SslFree>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, SslFree>;

class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }
    int get() const { return fd_; }
    int release();
    void reset();

  private:
    int fd_ = -1;
};

enum class Failure { NONE, CONNECT, TLS, WRITE, READ, TIMEOUT, HTTP, STATUS, BODY };
const char* failure_name(Failure failure);

// What a client presents: its certificate and key, or nothing.
struct ClientCredentials {
    X509Ptr cert;
    PkeyPtr key;
};

class TlsExchange {
  public:
    enum class Progress { WAITING, DONE };

    // False when the socket cannot even be opened; failure() tells why.
    bool start(SSL_CTX* ctx, const Ipv4Addr& source, const sockaddr_in& server,
               const ClientCredentials* credentials, std::string request, Clock::time_point now);
    Progress drive();
    void fail(Failure failure, std::string detail);
    // Frees the connection; the outcome stays readable.
    void close();

    int fd() const { return fd_.get(); }
    bool active() const { return state_ != State::IDLE && state_ != State::DONE; }
    bool sent() const { return state_ == State::READING || state_ == State::DONE; }
    // Some of the answer (not just TLS records of the handshake) has come.
    bool answered() const { return response_.head_done() || !response_.body_start().empty(); }
    Failure failure() const { return failure_; }
    const std::string& detail() const { return detail_; }
    const HttpResponse& response() const { return response_; }
    Clock::time_point started() const { return started_; }
    Clock::time_point finished() const { return finished_; }

  private:
    enum class State { IDLE, CONNECTING, HANDSHAKE, WRITING, READING, DONE };
    Progress finish(Failure failure, std::string detail);
    Progress ssl_failure(Failure failure, int result);

    UniqueFd fd_;
    SslPtr ssl_;
    State state_ = State::IDLE;
    std::string request_;
    size_t written_ = 0;
    HttpResponse response_;
    Failure failure_ = Failure::NONE;
    std::string detail_;
    Clock::time_point started_;
    Clock::time_point finished_;
};
