#include "tests/https/tls_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

int make_socket(const std::string& source, int port, int receive_buffer) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receive_buffer > 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    sockaddr_in local{AF_INET, 0, {}, {}};
    inet_pton(AF_INET, source.c_str(), &local.sin_addr);
    sockaddr_in remote{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
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
    pollfd p{fd, POLLIN, 0};
    return left > 0 && poll(&p, 1, static_cast<int>(left)) > 0;
}

HttpAnswer parse_answer(const std::string& raw) {
    HttpAnswer answer;
    const size_t head_end = raw.find("\r\n\r\n");
    if (raw.rfind("HTTP/1.1 ", 0) != 0 || head_end == std::string::npos)
        return answer;
    answer.status = std::atoi(raw.c_str() + 9);
    for (size_t line = raw.find("\r\n") + 2, next; line < head_end; line = next + 2) {
        next = raw.find("\r\n", line);
        const size_t colon = raw.find(':', line);
        if (colon < next) {
            std::string name = raw.substr(line, colon - line);
            std::transform(name.begin(), name.end(), name.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            const size_t value = raw.find_first_not_of(' ', colon + 1);
            answer.headers[name] = raw.substr(value, next - value);
        }
    }
    answer.body = raw.substr(head_end + 4);
    return answer;
}

// Holds back what the client writes from the server's Finished on, until the
// request follows.
void cork_after_server_finished(int write_p, int, int content_type, const void* buf, size_t len,
                                SSL* ssl, void*) {
    if (write_p == 0 && content_type == SSL3_RT_HANDSHAKE && len > 0 &&
        *static_cast<const unsigned char*>(buf) == SSL3_MT_FINISHED) {
        const int on = 1;
        setsockopt(SSL_get_fd(ssl), IPPROTO_TCP, TCP_CORK, &on, sizeof on);
    }
}

}  // namespace

TlsClient::~TlsClient() {
    ssl.reset();
    if (fd >= 0)
        close(fd);
}

bool TlsClient::connect_plain(int port) {
    fd = make_socket(options.source, port, receive_buffer);
    return fd >= 0;
}

bool TlsClient::connect(int port) {
    if (!connect_plain(port))
        return false;
    ctx.reset(SSL_CTX_new(TLS_client_method()));
    if (options.max_version != 0)
        SSL_CTX_set_max_proto_version(ctx.get(), options.max_version);
    if (!options.cert.empty() &&
        (SSL_CTX_use_certificate_file(ctx.get(), options.cert.c_str(), SSL_FILETYPE_PEM) != 1 ||
         SSL_CTX_use_PrivateKey_file(ctx.get(), options.key.c_str(), SSL_FILETYPE_PEM) != 1)) {
        return false;
    }
    ssl.reset(SSL_new(ctx.get()));
    if (options.offer_h2) {
        static const unsigned char kProtos[] = "\x02h2\x08http/1.1";
        SSL_set_alpn_protos(ssl.get(), kProtos, sizeof kProtos - 1);
    }
    SSL_set_fd(ssl.get(), fd);
    if (options.request_with_finished) {
        SSL_set_msg_callback(ssl.get(), cork_after_server_finished);
    }
    // The socket's time-outs bound the handshake.
    const bool ok = SSL_connect(ssl.get()) == 1;
    ERR_clear_error();
    return ok;
}

bool TlsClient::send(const std::string& bytes) {
    const int size = static_cast<int>(bytes.size());
    const bool ok = ssl && SSL_write(ssl.get(), bytes.data(), size) == size;
    ERR_clear_error();
    if (options.request_with_finished) {
        const int off = 0;
        setsockopt(fd, IPPROTO_TCP, TCP_CORK, &off, sizeof off);
    }
    return ok;
}

HttpAnswer TlsClient::receive_answer(std::chrono::milliseconds limit) {
    std::string raw;
    HttpAnswer answer;
    const auto deadline = Clock::now() + limit;
    char buf[16384];
    while (ssl && (SSL_pending(ssl.get()) > 0 || wait_readable(fd, deadline))) {
        const int n = SSL_read(ssl.get(), buf, sizeof buf);
        if (n <= 0)
            break;
        raw.append(buf, static_cast<size_t>(n));
        answer = parse_answer(raw);
        const auto length = answer.headers.find("content-length");
        if (length != answer.headers.end() && answer.body.size() >= std::stoul(length->second))
            break;
    }
    ERR_clear_error();
    if (ssl) {
        const unsigned char* alpn = nullptr;
        unsigned int alpn_length = 0;
        SSL_get0_alpn_selected(ssl.get(), &alpn, &alpn_length);
        answer.alpn.assign(reinterpret_cast<const char*>(alpn), alpn_length);
        // TLS 1.3 tickets arrive before the answer, so reading it has taken them in.
        const SSL_SESSION* session = SSL_get_session(ssl.get());
        answer.ticket = session != nullptr && SSL_SESSION_has_ticket(session) == 1;
    }
    return answer;
}

bool TlsClient::closed_by_peer(std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    char buf[4096];
    while (wait_readable(fd, deadline)) {
        if (recv(fd, buf, sizeof buf, 0) <= 0)
            return true;
    }
    return false;
}

void TlsClient::say_goodbye() {
    if (ssl) {
        SSL_shutdown(ssl.get());
        ERR_clear_error();
    }
}

std::string ott_post(const std::string& path, const std::string& content_type,
                     const std::string& body, const std::string* content_length) {
    return "POST /ott" + path + " HTTP/1.1\r\nHost: localhost\r\n" +
           (content_type.empty() ? "" : "Content-Type: " + content_type + "\r\n") +
           "Content-Length: " +
           (content_length != nullptr ? *content_length : std::to_string(body.size())) +
           "\r\n\r\n" + body;
}

std::string http_get(const std::string& target) {
    return "GET " + target + " HTTP/1.1\r\nHost: localhost\r\n\r\n";
}

bool wait_listening(int port, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    for (;; std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
        const int fd = make_socket("127.0.0.1", port, 0);
        close(fd);
        if (fd >= 0 || Clock::now() >= deadline)
            return fd >= 0;
    }
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
    return client.connect(port) && client.send(request)
               ? client.receive_answer(std::chrono::seconds(10))
               : HttpAnswer{};
}
