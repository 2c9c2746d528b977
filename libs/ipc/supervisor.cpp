#include "libs/ipc/supervisor.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "libs/ipc/codec.h"
#include "libs/ipc/control.h"
#include "libs/ipc/io.h"
#include "libs/ipc/ipc_port.h"
#include "libs/trace/trace.h"

using ipc_io::Clock;

namespace {

// The supervisor may be slow to start everything else; it is not waited on forever.
constexpr auto kRunWait = std::chrono::seconds(30);
constexpr size_t kMaxHandshakeFrame = 64 * 1024;

// Reads exactly `size` bytes, never more: whatever follows belongs to the port.
bool read_exact(int fd, char* data, size_t size, Clock::time_point deadline, std::string& why) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = recv(fd, data + done, size - done, MSG_DONTWAIT);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n == 0) {
            why = "supervisor closed the channel";
            return false;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            why = std::string("read: ") + std::strerror(errno);
            return false;
        }
        if (!ipc_io::wait_for(fd, POLLIN, deadline)) {
            why = "no RUN from the supervisor in time";
            return false;
        }
    }
    return true;
}

std::shared_ptr<IMsg> read_frame(int fd, Clock::time_point deadline, std::string& why) {
    char header[IPC_FRAME_HEADER];
    if (!read_exact(fd, header, sizeof header, deadline, why)) {
        return nullptr;
    }
    const uint32_t length = ipc_frame_length(header);
    if (length > kMaxHandshakeFrame) {
        why = "frame of " + std::to_string(length) + " bytes";
        return nullptr;
    }
    std::string payload(length, '\0');
    if (!read_exact(fd, payload.data(), payload.size(), deadline, why)) {
        return nullptr;
    }
    return ipc_decode_payload(payload.data(), payload.size(), &why);
}

bool parse_fd(const char* text, int& fd) {
    if (text == nullptr || *text == '\0') {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || value < 0 || value > INT_MAX) {
        return false;
    }
    fd = static_cast<int>(value);
    return true;
}

}  // namespace

bool ipc_send_ready_and_wait_for_run(IpcPort& port) {
    const Trace& trace = port.trace();
    const char* text = std::getenv("DOR_SUPERVISOR_FD");
    int fd = -1;
    if (text == nullptr) {
        trace.error("IPC: DOR_SUPERVISOR_FD is not set");
        return false;
    }
    if (!parse_fd(text, fd) || !ipc_io::is_stream_socket(fd)) {
        trace.error("IPC: DOR_SUPERVISOR_FD=%s is not a stream socket", text);
        return false;
    }
    // From here on the channel is ours: closed on failure, handed to the port on success.
    ipc_io::UniqueFd channel(fd);
    ipc_io::set_cloexec(fd);
    const auto deadline = Clock::now() + kRunWait;
    std::string frame;
    std::string why;
    if (!ipc_encode_frame(IPC_MSG__CTL_READY{}, frame) ||
        !ipc_io::write_all(fd, frame.data(), frame.size(), deadline, &why)) {
        trace.error("IPC: cannot send READY to the supervisor: %s", why.c_str());
        return false;
    }
    const std::shared_ptr<IMsg> answer = read_frame(fd, deadline, why);
    if (!answer) {
        trace.error("IPC: waiting for RUN: %s", why.c_str());
        return false;
    }
    if (answer->get_type() != IPC_MSG__CTL_RUN::kType) {
        trace.error("IPC: expected RUN from the supervisor, got type 0x%08x", answer->get_type());
        return false;
    }
    return port.adopt_peer(channel.release());
}

bool ipc_supervisor_socketpair(int& parent_fd, int& child_fd) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        return false;
    }
    const int flags = fcntl(pair[1], F_GETFD);
    if (flags < 0 || fcntl(pair[1], F_SETFD, flags & ~FD_CLOEXEC) != 0) {
        close(pair[0]);
        close(pair[1]);
        return false;
    }
    parent_fd = pair[0];
    child_fd = pair[1];
    return true;
}

bool ipc_supervisor_wait_ready(IpcClient& client, int timeout_ms) {
    const auto msg = client.receive(timeout_ms);
    return msg && msg->get_type() == IPC_MSG__CTL_READY::kType;
}

bool ipc_supervisor_send_run(IpcClient& client) {
    return client.send(IPC_MSG__CTL_RUN{}) == IPC_OK;
}
