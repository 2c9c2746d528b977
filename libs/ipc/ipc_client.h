#pragma once
// The peer side of the IPC transport, for the controller's other processes,
// tools and tests. Blocking calls, each bounded by a time-out.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "libs/ipc/imsg.h"

namespace ipc_io {
class FrameBuffer;
}

class IpcClient {
  public:
    // Service replies can be large (the AP list); anything above is a broken stream.
    static constexpr size_t kMaxFrame = 256u << 20;

    IpcClient();
    ~IpcClient();
    IpcClient(const IpcClient&) = delete;
    IpcClient& operator=(const IpcClient&) = delete;
    IpcClient(IpcClient&& other) noexcept;
    IpcClient& operator=(IpcClient&& other) noexcept;

    // `error` gets one line such as
    // "cannot connect to /run/dor/port-3.sock: No such file or directory".
    bool connect(const std::string& dir, PortId id, std::string* error);
    // Takes ownership of an already connected stream socket.
    bool adopt_fd(int fd);

    // Replaces the subscription.
    bool subscribe(const std::vector<uint32_t>& types);
    bool subscribe_all();

    // Writes one whole frame (bounded by 10 s); a failed write closes the connection.
    Error send(const IMsg& msg);

    // The next message; null on time-out, close or a bad frame, and `error` says which
    // ("timeout", "closed", or the reason). A bad frame is skipped; an oversized one closes.
    std::shared_ptr<IMsg> receive(int timeout_ms, std::string* error = nullptr);

    // The next message of class M, skipping others, within timeout_ms overall.
    template <class M>
    std::shared_ptr<M> receive_as(int timeout_ms) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            auto msg = receive(left.count() > 0 ? static_cast<int>(left.count()) : 0);
            if (!msg) {
                return nullptr;
            }
            if (auto typed = std::dynamic_pointer_cast<M>(msg)) {
                return typed;
            }
        }
    }

    bool connected() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    void close();

  private:
    int fd_ = -1;
    std::unique_ptr<ipc_io::FrameBuffer> in_;  // bytes read, not yet a whole frame
};
