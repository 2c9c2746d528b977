#include "libs/ipc/ipc_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "libs/ipc/codec.h"
#include "libs/ipc/control.h"
#include "libs/ipc/io.h"
#include "libs/ipc/ipc_port.h"

using ipc_io::Clock;
using ipc_io::FrameBuffer;

namespace {
constexpr auto kSendBound = std::chrono::seconds(10);

void set_error(std::string* error, std::string text) {
    if (error != nullptr) {
        *error = std::move(text);
    }
}
}  // namespace

IpcClient::IpcClient() : in_(std::make_unique<FrameBuffer>(kMaxFrame)) {}

IpcClient::~IpcClient() {
    close();
}

IpcClient::IpcClient(IpcClient&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), in_(std::move(other.in_)) {
    other.in_ = std::make_unique<FrameBuffer>(kMaxFrame);
}

IpcClient& IpcClient::operator=(IpcClient&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = std::exchange(other.fd_, -1);
        std::swap(in_, other.in_);
    }
    return *this;
}

void IpcClient::close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    in_ = std::make_unique<FrameBuffer>(kMaxFrame);
}

bool IpcClient::connect(const std::string& dir, PortId id, std::string* error) {
    close();
    const std::string path = ipc_socket_path(dir, id);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        set_error(error, "cannot connect to " + path + ": path too long");
        return false;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    // Non-blocking from the start: a service that stopped accepting makes
    // connect fail with EAGAIN rather than hang.
    ipc_io::UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd || ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        set_error(error, "cannot connect to " + path + ": " + std::strerror(errno));
        return false;
    }
    fd_ = fd.release();
    return true;
}

bool IpcClient::adopt_fd(int fd) {
    close();
    if (fd < 0 || !ipc_io::is_stream_socket(fd) || !ipc_io::set_nonblocking(fd) ||
        !ipc_io::set_cloexec(fd)) {
        return false;
    }
    fd_ = fd;
    return true;
}

bool IpcClient::subscribe(const std::vector<uint32_t>& types) {
    IPC_MSG__CTL_SUBSCRIBE msg;
    msg.types = types;
    return send(msg) == IPC_OK;
}

bool IpcClient::subscribe_all() {
    IPC_MSG__CTL_SUBSCRIBE msg;
    msg.all = true;
    return send(msg) == IPC_OK;
}

Error IpcClient::send(const IMsg& msg) {
    if (fd_ < 0) {
        return IPC_ERR_NOT_OPEN;
    }
    std::string frame;
    if (!ipc_encode_frame(msg, frame)) {
        return IPC_ERR_ENCODE;
    }
    if (!ipc_io::write_all(fd_, frame.data(), frame.size(), Clock::now() + kSendBound, nullptr)) {
        // Part of a frame may have gone out; the stream cannot be resumed.
        close();
        return IPC_ERR_IO;
    }
    return IPC_OK;
}

std::shared_ptr<IMsg> IpcClient::receive(int timeout_ms, std::string* error) {
    if (fd_ < 0) {
        set_error(error, "not connected");
        return nullptr;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms > 0 ? timeout_ms : 0);
    for (;;) {
        const char* payload = nullptr;
        size_t size = 0;
        const FrameBuffer::Next next = in_->next(payload, size);
        if (next == FrameBuffer::Next::FRAME) {
            std::string why;
            auto msg = ipc_decode_payload(payload, size, &why);
            if (!msg) {
                set_error(error, "bad frame: " + why);
            }
            return msg;
        }
        if (next == FrameBuffer::Next::OVERSIZE) {
            set_error(error, "frame of " + std::to_string(size) + " bytes is over the limit");
            close();
            return nullptr;
        }
        switch (in_->read_from(fd_)) {
            case FrameBuffer::Read::DATA:
                continue;
            case FrameBuffer::Read::END: {
                const bool partial = in_->buffered() > 0;
                close();
                set_error(error, partial ? "closed in the middle of a frame" : "closed");
                return nullptr;
            }
            case FrameBuffer::Read::FAILED:
                set_error(error, std::string("read: ") + std::strerror(errno));
                close();
                return nullptr;
            case FrameBuffer::Read::AGAIN:
                break;
        }
        if (ipc_io::ms_until(deadline) == 0 || !ipc_io::wait_for(fd_, POLLIN, deadline)) {
            set_error(error, "timeout");
            return nullptr;
        }
    }
}
