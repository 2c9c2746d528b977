#pragma once
// Simulated APs for the HTTPS tests: a TLS client on OpenSSL that connects from
// a chosen loopback address (the registries key APs by address). Every call is
// bounded in time.

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
    explicit TlsClient(ClientOptions options);
    ~TlsClient();
    TlsClient(const TlsClient&) = delete;
    TlsClient& operator=(const TlsClient&) = delete;

    // Applied at the next connect: a small window keeps a download open.
    void set_receive_buffer(int bytes);
    // TCP connect and TLS handshake to 127.0.0.1:port.
    bool connect(int port);
    // TCP only, no handshake.
    bool connect_plain(int port);
    bool send(const std::string& bytes);
    // The answer, read until its body is complete, the server closes, or `limit`.
    HttpAnswer receive_answer(std::chrono::milliseconds limit);
    // True when the server closed the TCP connection (read gives 0 or an error).
    bool closed_by_peer(std::chrono::milliseconds limit);
    std::string alpn() const;
    bool got_ticket() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};

// A POST of `body` below "/ott"; `content_length` overrides the header's text,
// and an empty `content_type` leaves the header out.
std::string ott_post(const std::string& path, const std::string& content_type,
                     const std::string& body, const std::string* content_length = nullptr);
std::string http_get(const std::string& target);

// Waits (bounded) until something accepts TCP connections on 127.0.0.1:port.
bool wait_listening(int port, std::chrono::milliseconds limit);

// `count` clients from `subnet`.1, .2, ... on `port`, held open: with a
// `request` each does the TLS handshake and sends it, without one it stays at
// TCP. Meant to be called while the servers are served.
std::vector<std::unique_ptr<TlsClient>> hold_clients(int port, int count, const std::string& subnet,
                                                     const std::string& request = {});

// One request on a new connection: connect, send, read the answer to the end.
HttpAnswer exchange(const ClientOptions& options, int port, const std::string& request);
