#pragma once
// Many HTTPS requests at once on one libcurl multi handle. Every request gets
// its own connection (nothing reused) from its own source address, HTTP/1.1.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

struct HttpRequest {
    std::string url;
    std::string source;       // local address to bind, e.g. 127.0.1.7
    std::string body;         // POSTed as application/json; empty: GET
    std::string client_cert;  // PEM files; empty: no client certificate
    std::string client_key;
    std::string server_ca;    // verify the server with it; empty: no verification
    std::string resolve;      // "host:port:address" for a name in `url`
    std::string download_to;  // write the answer to this file instead of memory
    bool cut_off = false;     // break the transfer early, as a lost connection would
    long timeout_ms = 20000;
};

struct HttpResult {
    long status = 0;  // 0: no HTTP answer
    std::string body;
    int curl_code = 0;
    std::string error;  // libcurl's text when curl_code is not 0
    bool tls_failure = false;
    bool server_handshake = false;  // TLS handshake records came from the server
    bool tls_alert = false;         // a fatal TLS alert came from the server
    bool cut_off = false;
    uint64_t bytes = 0;
    std::optional<uint64_t> content_length;
};

class HttpPool {
  public:
    HttpPool();
    ~HttpPool();
    HttpPool(const HttpPool&) = delete;
    HttpPool& operator=(const HttpPool&) = delete;

    bool ok() const { return multi_ != nullptr; }
    // False when the transfer could not be set up (the result is then not reported).
    bool start(uint64_t token, const HttpRequest& request);
    // Moves the transfers on, waiting up to `wait_ms` for activity when nothing
    // is ready, and returns those that ended.
    std::vector<std::pair<uint64_t, HttpResult>> run(int wait_ms);
    size_t active() const { return transfers_.size(); }

  private:
    struct Transfer;
    void* multi_ = nullptr;  // CURLM, kept out of the header
    std::vector<std::unique_ptr<Transfer>> transfers_;
};
