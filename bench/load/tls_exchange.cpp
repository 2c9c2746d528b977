#include "bench/load/tls_exchange.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr size_t kReadChunk = 64 * 1024;

std::string errno_text(int err) {
    return std::strerror(err);
}

std::string openssl_text() {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) {
        return "no OpenSSL error";
    }
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

}  // namespace

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
        reset();
        fd_ = other.release();
    }
    return *this;
}

int UniqueFd::release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

void UniqueFd::reset() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

const char* failure_name(Failure failure) {
    switch (failure) {
        case Failure::NONE:
            return "none";
        case Failure::CONNECT:
            return "connect";
        case Failure::TLS:
            return "tls";
        case Failure::WRITE:
            return "write";
        case Failure::READ:
            return "read";
        case Failure::TIMEOUT:
            return "timeout";
        case Failure::HTTP:
            return "http";
        case Failure::STATUS:
            return "status";
        case Failure::BODY:
            return "body";
    }
    return "?";
}

bool TlsExchange::start(SSL_CTX* ctx, const Ipv4Addr& source, const sockaddr_in& server,
                        const ClientCredentials* credentials, std::string request,
                        Clock::time_point now) {
    close();
    request_ = std::move(request);
    written_ = 0;
    response_ = HttpResponse{};
    failure_ = Failure::NONE;
    detail_.clear();
    started_ = now;
    state_ = State::CONNECTING;

    fd_ = UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (fd_.get() < 0) {
        finish(Failure::CONNECT, "socket: " + errno_text(errno));
        return false;
    }
    const int one = 1;
    setsockopt(fd_.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    std::memcpy(&local.sin_addr, source.octets.data(), 4);
    if (::bind(fd_.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        finish(Failure::CONNECT, "bind " + source.str() + ": " + errno_text(errno));
        return false;
    }
    if (::connect(fd_.get(), reinterpret_cast<const sockaddr*>(&server), sizeof server) != 0 &&
        errno != EINPROGRESS) {
        finish(Failure::CONNECT, "connect: " + errno_text(errno));
        return false;
    }
    ssl_.reset(SSL_new(ctx));
    if (!ssl_ || SSL_set_fd(ssl_.get(), fd_.get()) != 1) {
        finish(Failure::TLS, "SSL_new: " + openssl_text());
        return false;
    }
    if (credentials != nullptr && (SSL_use_certificate(ssl_.get(), credentials->cert.get()) != 1 ||
                                   SSL_use_PrivateKey(ssl_.get(), credentials->key.get()) != 1)) {
        finish(Failure::TLS, "client certificate: " + openssl_text());
        return false;
    }
    SSL_set_connect_state(ssl_.get());
    return true;
}

TlsExchange::Progress TlsExchange::finish(Failure failure, std::string detail) {
    failure_ = failure;
    detail_ = std::move(detail);
    finished_ = Clock::now();
    state_ = State::DONE;
    close();
    return Progress::DONE;
}

void TlsExchange::fail(Failure failure, std::string detail) {
    if (active()) {
        finish(failure, std::move(detail));
    }
}

void TlsExchange::close() {
    ssl_.reset();
    fd_.reset();
    if (state_ != State::DONE) {
        state_ = State::IDLE;
    }
}

TlsExchange::Progress TlsExchange::ssl_failure(Failure failure, int result) {
    const int error = SSL_get_error(ssl_.get(), result);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
        return Progress::WAITING;
    }
    if (error == SSL_ERROR_SYSCALL) {
        const int err = errno;
        ERR_clear_error();
        return finish(failure, err != 0 ? errno_text(err) : "connection closed");
    }
    return finish(failure, openssl_text());
}

TlsExchange::Progress TlsExchange::drive() {
    for (;;) {
        switch (state_) {
            case State::IDLE:
            case State::DONE:
                return Progress::DONE;
            case State::CONNECTING: {
                int error = 0;
                socklen_t size = sizeof error;
                if (getsockopt(fd_.get(), SOL_SOCKET, SO_ERROR, &error, &size) != 0) {
                    error = errno;
                }
                if (error == EINPROGRESS || error == EALREADY) {
                    return Progress::WAITING;
                }
                if (error != 0) {
                    return finish(Failure::CONNECT, "connect: " + errno_text(error));
                }
                state_ = State::HANDSHAKE;
                break;
            }
            case State::HANDSHAKE: {
                const int result = SSL_do_handshake(ssl_.get());
                if (result != 1) {
                    return ssl_failure(Failure::TLS, result);
                }
                state_ = State::WRITING;
                break;
            }
            case State::WRITING: {
                const int result = SSL_write(ssl_.get(), request_.data() + written_,
                                             static_cast<int>(request_.size() - written_));
                if (result <= 0) {
                    return ssl_failure(Failure::WRITE, result);
                }
                written_ += static_cast<size_t>(result);
                if (written_ == request_.size()) {
                    state_ = State::READING;
                }
                break;
            }
            case State::READING: {
                char chunk[kReadChunk];
                const int result = SSL_read(ssl_.get(), chunk, sizeof chunk);
                if (result > 0) {
                    if (!response_.feed({chunk, static_cast<size_t>(result)})) {
                        return finish(Failure::HTTP, "malformed answer head");
                    }
                    if (response_.complete()) {
                        return finish(Failure::NONE, {});
                    }
                    break;
                }
                if (SSL_get_error(ssl_.get(), result) == SSL_ERROR_ZERO_RETURN) {
                    response_.on_end_of_stream();
                    return response_.complete()
                               ? finish(Failure::NONE, {})
                               : finish(Failure::READ, "answer cut short at " +
                                                           std::to_string(response_.body_bytes()));
                }
                return ssl_failure(Failure::READ, result);
            }
        }
    }
}
