#include "libs/ipc/io.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "libs/ipc/codec.h"

namespace ipc_io {

void UniqueFd::reset(int fd) {
    if (fd_ >= 0) {
        ::close(fd_);
    }
    fd_ = fd;
}

bool set_nonblocking(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool set_cloexec(int fd) {
    const int flags = fcntl(fd, F_GETFD);
    return flags >= 0 && fcntl(fd, F_SETFD, flags | FD_CLOEXEC) == 0;
}

bool is_stream_socket(int fd) {
    int type = 0;
    socklen_t length = sizeof type;
    return getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) == 0 && type == SOCK_STREAM;
}

int ms_until(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

bool wait_for(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        pollfd entry{fd, events, 0};
        const int n = poll(&entry, 1, ms_until(deadline));
        if (n > 0) {
            return true;
        }
        if (n == 0 || errno != EINTR) {
            return false;
        }
    }
}

long send_some(int fd, const iovec* pieces, int count) {
    msghdr message{};
    message.msg_iov = const_cast<iovec*>(pieces);
    message.msg_iovlen = static_cast<size_t>(count);
    for (;;) {
        const ssize_t n = ::sendmsg(fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) {
            return n;
        }
        if (errno == EINTR) {
            continue;
        }
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    }
}

long send_some(int fd, const char* data, size_t size) {
    const iovec piece{const_cast<char*>(data), size};
    return send_some(fd, &piece, 1);
}

bool write_all(int fd, const char* data, size_t size, Clock::time_point deadline,
               std::string* error) {
    size_t done = 0;
    while (done < size) {
        const long n = send_some(fd, data + done, size - done);
        if (n < 0) {
            if (error != nullptr) {
                *error = std::strerror(errno);
            }
            return false;
        }
        done += static_cast<size_t>(n);
        if (done < size && !wait_for(fd, POLLOUT, deadline)) {
            if (error != nullptr) {
                *error = "write timed out";
            }
            return false;
        }
    }
    return true;
}

FrameBuffer::Read FrameBuffer::read_from(int fd) {
    // Consumed bytes are dropped in bulk so a big frame is not moved once per read.
    if (pos_ > 0 && (pos_ == data_.size() || pos_ >= data_.size() / 2)) {
        data_.erase(0, pos_);
        pos_ = 0;
    }
    constexpr size_t kChunk = 64 * 1024;
    const size_t old = data_.size();
    data_.resize(old + kChunk);
    for (;;) {
        const ssize_t n = ::recv(fd, data_.data() + old, kChunk, MSG_DONTWAIT);
        if (n > 0) {
            data_.resize(old + static_cast<size_t>(n));
            return Read::DATA;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        const int saved = errno;
        data_.resize(old);
        if (n == 0) {
            return Read::END;
        }
        errno = saved;
        return saved == EAGAIN || saved == EWOULDBLOCK ? Read::AGAIN : Read::FAILED;
    }
}

FrameBuffer::Next FrameBuffer::next(const char*& payload, size_t& size) {
    if (buffered() < IPC_FRAME_HEADER) {
        return Next::NONE;
    }
    const size_t length = ipc_frame_length(data_.data() + pos_);
    if (length > max_frame_) {
        size = length;
        return Next::OVERSIZE;
    }
    if (buffered() < IPC_FRAME_HEADER + length) {
        // Grow once for the whole frame rather than by doubling through it.
        data_.reserve(pos_ + IPC_FRAME_HEADER + length);
        return Next::NONE;
    }
    payload = data_.data() + pos_ + IPC_FRAME_HEADER;
    size = length;
    pos_ += IPC_FRAME_HEADER + length;
    return Next::FRAME;
}

}  // namespace ipc_io
