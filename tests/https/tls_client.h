#pragma once
// Simulated APs: a TLS client that connects from a chosen loopback address (the
// registries key APs by address). Every call is bounded in time.

#include <openssl/ssl.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

struct ClientOptions {
    std::string source = "127.0.0.1";  // any address in 127.0.0.0/8
    std::string cert;                  // client certificate and key; empty: none
    std::string key;
    bool offer_h2 = false;  // ALPN "h2,http/1.1" instead of none
    // The first request leaves in one segment with the handshake's last flight,
    // as curl's often does: the server reads both at once.
    bool request_with_finished = false;
    int max_version = 0;  // e.g. TLS1_2_VERSION; 0: the library's highest
};

inline ClientOptions client_at(std::string source, std::string cert = {}, std::string key = {}) {
    return ClientOptions{std::move(source), std::move(cert), std::move(key)};
}

struct HttpAnswer {
    int status = 0;                              // 0: no answer at all
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;
    std::string alpn;     // what the server selected
    bool ticket = false;  // the server sent a session ticket
};

class TlsClient {
  public:
    explicit TlsClient(ClientOptions options) : options(std::move(options)) {}
    ~TlsClient();

    bool connect(int port);        // TCP and TLS handshake to 127.0.0.1:port
    bool connect_plain(int port);  // TCP only
    bool send(const std::string& bytes);
    // Read until the body is complete, the server closes, or `limit`.
    HttpAnswer receive_answer(std::chrono::milliseconds limit);
    bool closed_by_peer(std::chrono::milliseconds limit);
    void say_goodbye();  // close_notify only, as a client giving up does before closing

    int receive_buffer = 0;  // at the next connect; a small window keeps a download open

  private:
    ClientOptions options;
    int fd = -1;
    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> ctx{nullptr, SSL_CTX_free};
    std::unique_ptr<SSL, decltype(&SSL_free)> ssl{nullptr, SSL_free};
};

// A POST below "/ott"; `content_length` overrides the header's text, and an
// empty `content_type` leaves the header out.
std::string ott_post(const std::string& path, const std::string& content_type,
                     const std::string& body, const std::string* content_length = nullptr);
std::string http_get(const std::string& target);

bool wait_listening(int port, std::chrono::milliseconds limit);

// `count` clients from `subnet`.1, .2, ... held open: with a `request` each
// sends it over TLS, without one it stays at TCP.
std::vector<std::unique_ptr<TlsClient>> hold_clients(int port, int count, const std::string& subnet,
                                                     const std::string& request = {});

// One request on a new connection, its answer read to the end.
HttpAnswer exchange(const ClientOptions& options, int port, const std::string& request);
