#pragma once
// Socket plumbing shared by the port, the client and the supervisor exchange.
// Not part of the library's interface.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include <sys/uio.h>

namespace ipc_io {

using Clock = std::chrono::steady_clock;

class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1);

  private:
    int fd_ = -1;
};

bool set_nonblocking(int fd);
bool set_cloexec(int fd);
bool is_stream_socket(int fd);

// Milliseconds left until `deadline`, never negative.
int ms_until(Clock::time_point deadline);

// Waits for `events` (POLLIN / POLLOUT). False on time-out or poll failure.
bool wait_for(int fd, short events, Clock::time_point deadline);

// Writes everything before `deadline`; `error` says why not.
bool write_all(int fd, const char* data, size_t size, Clock::time_point deadline,
               std::string* error);

// Sends without blocking and without SIGPIPE: bytes written, 0 when the socket
// is full, -1 on a failure (errno set).
long send_some(int fd, const char* data, size_t size);
// The same for several pieces in one call.
long send_some(int fd, const iovec* pieces, int count);

// Accumulates stream bytes and cuts them into frames.
class FrameBuffer {
  public:
    enum class Read { DATA, AGAIN, END, FAILED };
    enum class Next { NONE, FRAME, OVERSIZE };

    explicit FrameBuffer(size_t max_frame) : max_frame_(max_frame) {}

    // One read of whatever the socket holds (errno set on FAILED).
    Read read_from(int fd);

    // On FRAME, `payload`/`size` point into the buffer until the next call.
    // On OVERSIZE, `size` is the announced length.
    Next next(const char*& payload, size_t& size);

    size_t buffered() const { return data_.size() - pos_; }

  private:
    size_t max_frame_;
    std::string data_;
    size_t pos_ = 0;
};

}  // namespace ipc_io
