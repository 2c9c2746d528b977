#include "tests/https/tls_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

struct SslCtxFree {
    void operator()(SSL_CTX* p) const { SSL_CTX_free(p); }
};
struct SslFree {
    void operator()(SSL* p) const { SSL_free(p); }
};

int make_socket(const std::string& source, int port, int receive_buffer) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receive_buffer > 0) {
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, source.c_str(), &local.sin_addr);
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(static_cast<uint16_t>(port));
    remote.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval tv{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        ::connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool wait_readable(int fd, Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
        return false;
    }
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, static_cast<int>(left)) > 0;
}

HttpAnswer parse_answer(const std::string& raw) {
    HttpAnswer answer;
    const size_t head_end = raw.find("\r\n\r\n");
    if (raw.rfind("HTTP/1.1 ", 0) != 0 || head_end == std::string::npos) {
        return answer;
    }
    answer.status = std::atoi(raw.c_str() + 9);
    size_t line = raw.find("\r\n") + 2;
    while (line < head_end) {
        const size_t next = raw.find("\r\n", line);
        const std::string header = raw.substr(line, next - line);
        const size_t colon = header.find(':');
        if (colon != std::string::npos) {
            std::string name = header.substr(0, colon);
            std::transform(name.begin(), name.end(), name.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            answer.headers[name] = header.substr(header.find_first_not_of(' ', colon + 1));
        }
        line = next + 2;
    }
    answer.body = raw.substr(head_end + 4);
    return answer;
}

}  // namespace

struct TlsClient::Impl {
    ClientOptions options;
    int receive_buffer = 0;
    int fd = -1;
    std::unique_ptr<SSL_CTX, SslCtxFree> ctx;
    std::unique_ptr<SSL, SslFree> ssl;
};

TlsClient::TlsClient(ClientOptions options) : impl(std::make_unique<Impl>()) {
    impl->options = std::move(options);
}

TlsClient::~TlsClient() {
    impl->ssl.reset();
    if (impl->fd >= 0) {
        close(impl->fd);
    }
}

void TlsClient::set_receive_buffer(int bytes) {
    impl->receive_buffer = bytes;
}

bool TlsClient::connect_plain(int port) {
    impl->fd = make_socket(impl->options.source, port, impl->receive_buffer);
    return impl->fd >= 0;
}

bool TlsClient::connect(int port) {
    if (!connect_plain(port)) {
        return false;
    }
    impl->ctx.reset(SSL_CTX_new(TLS_client_method()));
    SSL_CTX* ctx = impl->ctx.get();
    if (!impl->options.cert.empty() &&
        (SSL_CTX_use_certificate_file(ctx, impl->options.cert.c_str(), SSL_FILETYPE_PEM) != 1 ||
         SSL_CTX_use_PrivateKey_file(ctx, impl->options.key.c_str(), SSL_FILETYPE_PEM) != 1)) {
        return false;
    }
    impl->ssl.reset(SSL_new(ctx));
    SSL* ssl = impl->ssl.get();
    if (impl->options.offer_h2) {
        static const unsigned char kProtos[] = "\x02h2\x08http/1.1";
        SSL_set_alpn_protos(ssl, kProtos, sizeof kProtos - 1);
    }
    SSL_set_fd(ssl, impl->fd);
    // The socket's time-outs bound the handshake.
    const bool ok = SSL_connect(ssl) == 1;
    ERR_clear_error();
    return ok;
}

bool TlsClient::send(const std::string& bytes) {
    const bool ok =
        impl->ssl && SSL_write(impl->ssl.get(), bytes.data(), static_cast<int>(bytes.size())) ==
                         static_cast<int>(bytes.size());
    ERR_clear_error();
    return ok;
}

HttpAnswer TlsClient::receive_answer(std::chrono::milliseconds limit) {
    std::string raw;
    HttpAnswer answer;
    const auto deadline = Clock::now() + limit;
    char buf[16384];
    while (impl->ssl && (SSL_pending(impl->ssl.get()) > 0 || wait_readable(impl->fd, deadline))) {
        const int n = SSL_read(impl->ssl.get(), buf, sizeof buf);
        if (n <= 0) {
            break;
        }
        raw.append(buf, static_cast<size_t>(n));
        answer = parse_answer(raw);
        const auto length = answer.headers.find("content-length");
        if (length != answer.headers.end() && answer.body.size() >= std::stoul(length->second)) {
            break;
        }
    }
    ERR_clear_error();
    return answer;
}

bool TlsClient::closed_by_peer(std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    char buf[4096];
    while (wait_readable(impl->fd, deadline)) {
        const ssize_t n = recv(impl->fd, buf, sizeof buf, 0);
        if (n <= 0) {
            return true;
        }
    }
    return false;
}

std::string TlsClient::alpn() const {
    const unsigned char* data = nullptr;
    unsigned int length = 0;
    SSL_get0_alpn_selected(impl->ssl.get(), &data, &length);
    return data != nullptr ? std::string(reinterpret_cast<const char*>(data), length) : "";
}

bool TlsClient::got_ticket() const {
    // TLS 1.3 tickets arrive before the answer, so reading it has taken them in.
    const SSL_SESSION* session = impl->ssl ? SSL_get_session(impl->ssl.get()) : nullptr;
    return session != nullptr && SSL_SESSION_has_ticket(session) == 1;
}

std::string ott_post(const std::string& path, const std::string& content_type,
                     const std::string& body, const std::string* content_length) {
    std::string request = "POST /ott" + path + " HTTP/1.1\r\nHost: localhost\r\n";
    if (!content_type.empty()) {
        request += "Content-Type: " + content_type + "\r\n";
    }
    request += "Content-Length: " +
               (content_length != nullptr ? *content_length : std::to_string(body.size())) +
               "\r\n\r\n" + body;
    return request;
}

std::string http_get(const std::string& target) {
    return "GET " + target + " HTTP/1.1\r\nHost: localhost\r\n\r\n";
}

bool wait_listening(int port, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    do {
        const int fd = make_socket("127.0.0.1", port, 0);
        if (fd >= 0) {
            close(fd);
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (Clock::now() < deadline);
    return false;
}

std::vector<std::unique_ptr<TlsClient>> hold_clients(int port, int count, const std::string& subnet,
                                                     const std::string& request) {
    std::vector<std::unique_ptr<TlsClient>> held;
    for (int i = 1; i <= count; ++i) {
        auto& client = held.emplace_back(
            std::make_unique<TlsClient>(client_at(subnet + "." + std::to_string(i))));
        if (request.empty()) {
            client->connect_plain(port);
        } else if (client->connect(port)) {
            client->send(request);
        }
    }
    return held;
}

HttpAnswer exchange(const ClientOptions& options, int port, const std::string& request) {
    TlsClient client(options);
    if (!client.connect(port) || !client.send(request)) {
        return {};
    }
    HttpAnswer answer = client.receive_answer(std::chrono::seconds(10));
    answer.alpn = client.alpn();
    answer.ticket = client.got_ticket();
    return answer;
}
