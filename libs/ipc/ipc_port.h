#pragma once
// The service side of the IPC transport: one listening Unix socket per port at
// <dir>/port-<id>.sock, any number of connected peers, all behind one epoll fd
// so that the main loop can wait on the port together with other sources.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "libs/ipc/imsg.h"

class Trace;
class IpcPort;

using MsgCallback = std::function<Error(const IMsg&, IpcPort&, void*)>;

inline constexpr PortId SA_PORT_ID = 3;

// Names one peer of a port. Numbers are never reused, so a stale one names
// nobody. kNoPeer: no peer (a message built in-process).
using PeerRef = int;
inline constexpr PeerRef kNoPeer = 0;

// Who is at the other end, as the kernel saw it when the peer connected.
struct PeerCredentials {
    pid_t pid = 0;
    uid_t uid = 0;
    gid_t gid = 0;
};

class IpcPort {
  public:
    // Listens in ipc_default_dir(); failures are logged with trace.error.
    IpcPort(PortId id, const Trace& trace);
    // Listens in `dir` (created when missing).
    IpcPort(PortId id, const Trace& trace, const std::string& dir);
    // Flushes pending output best-effort (about 100 ms at most), then closes everything.
    ~IpcPort();
    IpcPort(const IpcPort&) = delete;
    IpcPort& operator=(const IpcPort&) = delete;

    // False when the port could not listen.
    bool register_msg_callback(const MsgCallback& cb, void* user);

    // Waits at most timeout_ms (0: no wait) for traffic, accepts peers, reads,
    // hands every complete message to the callback and flushes output.
    // Returns the number of messages delivered.
    int run_once_for_timeout(long timeout_ms);

    // To every peer that wants the type: events and the service's own requests.
    // IPC_OK when the message went out (or was queued) to at least one peer
    // that wants its type; IPC_ERR_NO_PEER when no peer wants it.
    Error send(std::shared_ptr<IMsg> msg);

    // An answer: only to the peer whose frame the callback is handling, if it
    // wants the type. Outside a callback (a message built in-process), like send().
    Error reply(std::shared_ptr<IMsg> msg);
    // Only to `peer`, if it is still connected and wants the type; kNoPeer: like send().
    Error send_to(PeerRef peer, std::shared_ptr<IMsg> msg);

    // The peer whose frame the callback is handling; kNoPeer outside a callback.
    PeerRef current_peer() const;
    // Empty when the peer is gone or the kernel did not say.
    std::optional<PeerCredentials> peer_credentials(PeerRef peer) const;
    // "user NAME pid P" (the uid number when it has no name) for the audit lines.
    std::string describe_peer(PeerRef peer) const;

    // While held, sent frames wait in their peers' queues until flush_output()
    // (or a waiting run_once_for_timeout), so that a loop turn's messages leave
    // in one write per peer. The loop must flush before it waits elsewhere.
    void hold_output(bool on);
    void flush_output();

    // Only raises the flag the main loop reads; the port keeps working.
    void finalize() { finalized_ = true; }
    bool is_finalized() const { return finalized_; }

    void set_SendAndRecv();
    bool send_and_recv() const { return send_and_recv_; }

    PortId id() const { return id_; }
    // Readable whenever run_once_for_timeout(0) has work to do; -1 if the port failed.
    int poll_fd() const;
    const std::string& socket_path() const { return path_; }
    size_t peer_count() const;
    // Connected peers whose subscription includes `type`.
    size_t subscriber_count(uint32_t type) const;
    // Bytes queued for peers that have not taken them yet.
    size_t pending_output() const;

    // Makes an already connected stream socket a peer (the supervisor's fd).
    // The port owns `fd` afterwards, also on failure.
    bool adopt_peer(int fd);

    const Trace& trace() const;

    // Frames since the port opened: decoded from peers, queued to peers, and
    // sent to no peer or refused from one.
    struct FrameCounts {
        uint64_t in = 0, out = 0, dropped = 0;
    } frame_counts;

  private:
    struct Impl;

    PortId id_;
    std::string path_;
    bool finalized_ = false;
    bool send_and_recv_ = false;
    std::unique_ptr<Impl> impl_;
};

// Announces readiness on the fd named by DOR_SUPERVISOR_FD and blocks until the
// supervisor says RUN (30 s at most); the fd then becomes a peer of `port`.
bool ipc_send_ready_and_wait_for_run(IpcPort& port);

// DOR_IPC_DIR, or /run/dor.
std::string ipc_default_dir();
std::string ipc_socket_path(const std::string& dir, PortId id);
