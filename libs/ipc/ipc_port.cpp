#include "libs/ipc/ipc_port.h"

#include <poll.h>
#include <pwd.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "libs/ipc/codec.h"
#include "libs/ipc/control.h"
#include "libs/ipc/io.h"
#include "libs/ipc/messages.h"
#include "libs/trace/trace.h"

using ipc_io::Clock;
using ipc_io::FrameBuffer;
using ipc_io::UniqueFd;

namespace {

// Controllers send small commands; anything bigger is a broken or hostile peer.
constexpr size_t kMaxInputFrame = 1u << 20;
// A peer that lets this much pile up is not reading at all.
constexpr size_t kMaxQueuedOutput = 64u << 20;
// Bounds on one run so that a flood cannot hold the main loop.
constexpr size_t kMaxReadsPerPeer = 64;
constexpr int kMaxAcceptsPerRun = 64;
constexpr size_t kMaxPeers = 256;
constexpr int kMaxEvents = 64;
constexpr int kMaxPiecesPerSend = 64;
constexpr auto kCloseFlushBudget = std::chrono::milliseconds(100);
constexpr uint64_t kListenKey = 0;
// getpwuid_r's buffer when the system gives no size hint; grown on ERANGE up to the cap.
constexpr size_t kPasswdBufferStart = 1024;
constexpr size_t kPasswdBufferMax = 64u << 10;

struct OutChunk {
    std::shared_ptr<const std::string> frame;  // shared by every peer it goes to
    size_t offset = 0;
};

struct Peer {
    int number = 0;
    UniqueFd fd;
    FrameBuffer in{kMaxInputFrame};
    std::deque<OutChunk> out;
    size_t out_bytes = 0;
    bool want_all = false;
    std::unordered_set<uint32_t> wants;
    bool write_armed = false;
    bool dead = false;
    // Closed for a fault rather than by the peer: what it sent is not handled.
    bool dropped = false;
    std::optional<PeerCredentials> credentials;

    bool wants_type(uint32_t type) const { return !dead && (want_all || wants.contains(type)); }
};

bool make_dirs(const std::string& dir) {
    for (size_t slash = dir.find('/', 1);; slash = dir.find('/', slash + 1)) {
        const std::string part = dir.substr(0, slash);
        if (!part.empty() && mkdir(part.c_str(), 0755) == 0) {
            // Other controller processes must reach the socket whatever our umask.
            chmod(part.c_str(), 0755);
        } else if (!part.empty() && errno != EEXIST) {
            return false;
        }
        if (slash == std::string::npos) {
            break;
        }
    }
    struct stat st {};
    return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool fill_address(const std::string& path, sockaddr_un& addr) {
    addr = sockaddr_un{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        return false;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return true;
}

// True when something accepts connections at `addr`. Non-blocking, so a
// listener with a full backlog answers EAGAIN instead of holding us up.
bool someone_listens(const sockaddr_un& addr) {
    UniqueFd probe(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!probe) {
        return false;
    }
    const int rc = connect(probe.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    return rc == 0 || errno == EAGAIN;
}

std::optional<PeerCredentials> credentials_of(int fd) {
    ucred cred{};
    socklen_t size = sizeof cred;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &size) != 0 || size != sizeof cred) {
        return std::nullopt;
    }
    return PeerCredentials{cred.pid, cred.uid, cred.gid};
}

std::string user_name(uid_t uid) {
    const long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(hint > 0 ? static_cast<size_t>(hint) : kPasswdBufferStart);
    for (;;) {
        passwd entry{};
        passwd* found = nullptr;
        const int rc = getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found);
        if (rc == ERANGE && buffer.size() < kPasswdBufferMax) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (rc == 0 && found != nullptr && found->pw_name != nullptr && found->pw_name[0] != 0) {
            return found->pw_name;
        }
        return std::to_string(uid);
    }
}

// A message in the order it arrived, with the peer that sent it.
struct Inbound {
    PeerRef from;
    std::shared_ptr<IMsg> msg;
};

}  // namespace

struct IpcPort::Impl {
    Impl(IpcPort& owner, const Trace& trace) : port(owner), trace(trace) {}
    ~Impl();

    bool open(const std::string& dir);
    void accept_all();
    Peer* add_peer(int fd);
    void read_peer(Peer& peer, std::vector<Inbound>& inbox);
    void handle_control(Peer& peer, const IMsg& msg);
    bool queue(Peer& peer, const std::shared_ptr<const std::string>& frame);
    void flush(Peer& peer);
    void arm_write(Peer& peer, bool on);
    void drop(Peer& peer, const std::string& reason);
    void close_peer(Peer& peer);
    void sweep();
    void flush_before_close();
    void note_unserved(uint32_t type);
    void note_served(const Peer& peer);

    IpcPort& port;
    const Trace& trace;
    UniqueFd epoll;
    UniqueFd listener;
    dev_t socket_dev = 0;
    ino_t socket_ino = 0;
    std::map<int, std::unique_ptr<Peer>> peers;  // by number, which is never reused
    int next_number = 1;
    MsgCallback callback;
    void* user = nullptr;
    bool holding_output = false;
    PeerRef current = kNoPeer;
    // AP request types sent while nobody took them, said once until someone does.
    std::unordered_set<uint32_t> unserved;
};

IpcPort::IpcPort(PortId id, const Trace& trace) : IpcPort(id, trace, ipc_default_dir()) {}

IpcPort::IpcPort(PortId id, const Trace& trace, const std::string& dir)
    : id_(id), path_(ipc_socket_path(dir, id)), impl_(std::make_unique<Impl>(*this, trace)) {
    if (!impl_->open(dir)) {
        impl_->listener.reset();
    }
}

IpcPort::~IpcPort() = default;

bool IpcPort::Impl::open(const std::string& dir) {
    const std::string& path = port.path_;
    epoll.reset(epoll_create1(EPOLL_CLOEXEC));
    if (!epoll) {
        trace.error("IPC: epoll_create1: %s", std::strerror(errno));
        return false;
    }
    if (!make_dirs(dir)) {
        trace.error("IPC: cannot create directory %s: %s", dir.c_str(), std::strerror(errno));
        return false;
    }
    sockaddr_un addr{};
    if (!fill_address(path, addr)) {
        trace.error("IPC: socket path too long: %s", path.c_str());
        return false;
    }
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            trace.error("IPC: %s exists and is not a socket", path.c_str());
            return false;
        }
        if (someone_listens(addr)) {
            trace.error("IPC: another instance is already listening on %s", path.c_str());
            return false;
        }
        unlink(path.c_str());
    }
    listener.reset(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!listener) {
        trace.error("IPC: socket: %s", std::strerror(errno));
        return false;
    }
    if (bind(listener.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listener.get(), 64) != 0) {
        trace.error("IPC: cannot listen on %s: %s", path.c_str(), std::strerror(errno));
        return false;
    }
    if (stat(path.c_str(), &st) == 0) {
        socket_dev = st.st_dev;
        socket_ino = st.st_ino;
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kListenKey;
    if (epoll_ctl(epoll.get(), EPOLL_CTL_ADD, listener.get(), &ev) != 0) {
        trace.error("IPC: epoll_ctl: %s", std::strerror(errno));
        return false;
    }
    trace.sys("IPC: port %u listening on %s", port.id_, path.c_str());
    return true;
}

IpcPort::Impl::~Impl() {
    flush_before_close();
    peers.clear();
    if (listener) {
        // Leave the path alone if another instance has taken it over meanwhile.
        struct stat st {};
        if (stat(port.path_.c_str(), &st) == 0 && st.st_dev == socket_dev &&
            st.st_ino == socket_ino) {
            unlink(port.path_.c_str());
        }
    }
}

void IpcPort::Impl::flush_before_close() {
    const auto deadline = Clock::now() + kCloseFlushBudget;
    for (;;) {
        std::vector<pollfd> waiting;
        std::vector<Peer*> owners;
        for (auto& [number, peer] : peers) {
            if (!peer->dead && !peer->out.empty()) {
                waiting.push_back({peer->fd.get(), POLLOUT, 0});
                owners.push_back(peer.get());
            }
        }
        const int left = ipc_io::ms_until(deadline);
        if (waiting.empty() || left == 0) {
            return;
        }
        const int n = poll(waiting.data(), waiting.size(), left);
        if (n < 0 && errno != EINTR) {
            return;
        }
        for (size_t i = 0; i < waiting.size(); ++i) {
            if (waiting[i].revents != 0) {
                flush(*owners[i]);
            }
        }
    }
}

Peer* IpcPort::Impl::add_peer(int raw_fd) {
    UniqueFd fd(raw_fd);
    if (peers.size() >= kMaxPeers) {
        trace.warn("IPC: refusing connection (fd %d): %zu peers already", raw_fd, peers.size());
        return nullptr;
    }
    if (!ipc_io::set_nonblocking(raw_fd) || !ipc_io::set_cloexec(raw_fd)) {
        trace.warn("IPC: refusing connection (fd %d): %s", raw_fd, std::strerror(errno));
        return nullptr;
    }
    auto peer = std::make_unique<Peer>();
    peer->number = next_number++;
    peer->credentials = credentials_of(raw_fd);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = static_cast<uint64_t>(peer->number);
    if (epoll_ctl(epoll.get(), EPOLL_CTL_ADD, raw_fd, &ev) != 0) {
        trace.warn("IPC: refusing connection (fd %d): epoll_ctl: %s", raw_fd, std::strerror(errno));
        return nullptr;
    }
    peer->fd = std::move(fd);
    Peer* raw = peer.get();
    peers.emplace(raw->number, std::move(peer));
    return raw;
}

void IpcPort::Impl::accept_all() {
    for (int i = 0; i < kMaxAcceptsPerRun; ++i) {
        const int fd = accept4(listener.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                trace.warn("IPC: accept: %s", std::strerror(errno));
            }
            return;
        }
        if (Peer* peer = add_peer(fd)) {
            trace.sys("IPC: peer #%d connected (fd %d)", peer->number, fd);
        }
    }
}

void IpcPort::Impl::close_peer(Peer& peer) {
    if (peer.dead) {
        return;
    }
    epoll_ctl(epoll.get(), EPOLL_CTL_DEL, peer.fd.get(), nullptr);
    peer.fd.reset();
    peer.dead = true;
    peer.out.clear();
    peer.out_bytes = 0;
}

void IpcPort::Impl::drop(Peer& peer, const std::string& reason) {
    if (peer.dead) {
        return;
    }
    trace.warn("IPC: dropping peer #%d (fd %d): %s", peer.number, peer.fd.get(), reason.c_str());
    peer.dropped = true;
    close_peer(peer);
}

void IpcPort::Impl::sweep() {
    std::erase_if(peers, [](const auto& item) { return item.second->dead; });
}

void IpcPort::Impl::handle_control(Peer& peer, const IMsg& msg) {
    if (const auto* sub = dynamic_cast<const IPC_MSG__CTL_SUBSCRIBE*>(&msg)) {
        peer.want_all = sub->all;
        peer.wants = std::unordered_set<uint32_t>(sub->types.begin(), sub->types.end());
        if (sub->all) {
            trace.sys("IPC: peer #%d subscribed to every type", peer.number);
        } else {
            trace.sys("IPC: peer #%d subscribed to %zu types", peer.number, peer.wants.size());
        }
        note_served(peer);
        return;
    }
    trace.warn("IPC: peer #%d sent control frame 0x%08x, ignored", peer.number, msg.get_type());
}

void IpcPort::Impl::note_unserved(uint32_t type) {
    if (ipc_ap_waits_for_answer(type) && unserved.insert(type).second) {
        trace.warn("no process takes type %u: AP requests will wait", type);
    }
}

void IpcPort::Impl::note_served(const Peer& peer) {
    std::erase_if(unserved, [&](uint32_t type) {
        if (!peer.wants_type(type)) {
            return false;
        }
        trace.sys("peer #%d takes type %u now: AP requests go out again", peer.number, type);
        return true;
    });
}

void IpcPort::Impl::read_peer(Peer& peer, std::vector<Inbound>& inbox) {
    for (size_t reads = 0; reads < kMaxReadsPerPeer && !peer.dead; ++reads) {
        const FrameBuffer::Read got = peer.in.read_from(peer.fd.get());
        if (got == FrameBuffer::Read::AGAIN) {
            return;
        }
        if (got == FrameBuffer::Read::FAILED) {
            drop(peer, std::string("read: ") + std::strerror(errno));
            return;
        }
        if (got == FrameBuffer::Read::END) {
            if (peer.in.buffered() > 0) {
                drop(peer, "truncated frame at end of stream (" +
                               std::to_string(peer.in.buffered()) + " bytes)");
            } else {
                trace.sys("IPC: peer #%d closed", peer.number);
                close_peer(peer);
            }
            return;
        }
        const char* payload = nullptr;
        size_t size = 0;
        for (;;) {
            const FrameBuffer::Next next = peer.in.next(payload, size);
            if (next == FrameBuffer::Next::NONE) {
                break;
            }
            if (next == FrameBuffer::Next::OVERSIZE) {
                drop(peer, "frame of " + std::to_string(size) + " bytes, limit " +
                               std::to_string(kMaxInputFrame));
                return;
            }
            std::string why;
            std::shared_ptr<IMsg> msg = ipc_decode_payload(payload, size, &why);
            ++(msg ? port.frame_counts.in : port.frame_counts.dropped);
            if (!msg) {
                drop(peer, why);
                return;
            }
            if (ipc_is_control_type(msg->get_type())) {
                handle_control(peer, *msg);
            } else {
                inbox.push_back({peer.number, std::move(msg)});
            }
        }
    }
}

void IpcPort::Impl::arm_write(Peer& peer, bool on) {
    if (peer.dead || peer.write_armed == on) {
        return;
    }
    epoll_event ev{};
    ev.events = on ? (EPOLLIN | EPOLLOUT) : EPOLLIN;
    ev.data.u64 = static_cast<uint64_t>(peer.number);
    if (epoll_ctl(epoll.get(), EPOLL_CTL_MOD, peer.fd.get(), &ev) == 0) {
        peer.write_armed = on;
    }
}

void IpcPort::Impl::flush(Peer& peer) {
    while (!peer.dead && !peer.out.empty()) {
        // Everything queued in one call: a turn often leaves several frames.
        iovec pieces[kMaxPiecesPerSend];
        int count = 0;
        for (auto chunk = peer.out.begin(); chunk != peer.out.end() && count < kMaxPiecesPerSend;
             ++chunk, ++count) {
            pieces[count].iov_base = const_cast<char*>(chunk->frame->data() + chunk->offset);
            pieces[count].iov_len = chunk->frame->size() - chunk->offset;
        }
        long n = ipc_io::send_some(peer.fd.get(), pieces, count);
        if (n < 0) {
            drop(peer, std::string("write: ") + std::strerror(errno));
            return;
        }
        if (n == 0) {
            break;
        }
        peer.out_bytes -= static_cast<size_t>(n);
        while (n > 0) {
            OutChunk& chunk = peer.out.front();
            const size_t taken =
                std::min(static_cast<size_t>(n), chunk.frame->size() - chunk.offset);
            chunk.offset += taken;
            n -= static_cast<long>(taken);
            if (chunk.offset == chunk.frame->size()) {
                peer.out.pop_front();
            }
        }
    }
    arm_write(peer, !peer.out.empty());
}

bool IpcPort::Impl::queue(Peer& peer, const std::shared_ptr<const std::string>& frame) {
    if (peer.out_bytes + frame->size() > kMaxQueuedOutput) {
        drop(peer,
             "more than " + std::to_string(kMaxQueuedOutput) + " bytes queued, peer does not read");
        return false;
    }
    peer.out.push_back({frame, 0});
    peer.out_bytes += frame->size();
    if (!holding_output) {
        flush(peer);
    }
    return !peer.dead;
}

bool IpcPort::register_msg_callback(const MsgCallback& cb, void* user) {
    if (!impl_->listener) {
        return false;
    }
    impl_->callback = cb;
    impl_->user = user;
    return true;
}

int IpcPort::run_once_for_timeout(long timeout_ms) {
    Impl& impl = *impl_;
    if (!impl.epoll) {
        return 0;
    }
    const int wait_ms = static_cast<int>(std::clamp(timeout_ms, 0L, 60L * 60 * 1000));
    if (wait_ms > 0) {
        flush_output();
    }
    epoll_event events[kMaxEvents];
    int count = epoll_wait(impl.epoll.get(), events, kMaxEvents, wait_ms);
    if (count < 0) {
        if (errno != EINTR) {
            impl.trace.warn("IPC: epoll_wait: %s", std::strerror(errno));
        }
        count = 0;
    }
    std::vector<Inbound> inbox;
    for (int i = 0; i < count; ++i) {
        if (events[i].data.u64 == kListenKey) {
            impl.accept_all();
            continue;
        }
        auto found = impl.peers.find(static_cast<int>(events[i].data.u64));
        if (found == impl.peers.end() || found->second->dead) {
            continue;
        }
        Peer& peer = *found->second;
        if ((events[i].events & EPOLLOUT) != 0) {
            impl.flush(peer);
        }
        if ((events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0) {
            impl.read_peer(peer, inbox);
        }
    }
    int delivered = 0;
    std::map<PeerRef, size_t> discarded;
    for (const auto& [from, msg] : inbox) {
        // A dropped peer may have queued thousands of requests nobody will read the answers to.
        const auto sender = impl.peers.find(from);
        if (sender != impl.peers.end() && sender->second->dropped) {
            ++discarded[from];
            continue;
        }
        if (!impl.callback) {
            impl.trace.warn("IPC: no callback, message type %u discarded", msg->get_type());
            continue;
        }
        // A handler's exception is not ours to judge: it goes on to the process's entry.
        struct Current {
            PeerRef& slot;
            ~Current() { slot = kNoPeer; }
        } current{impl.current};
        impl.current = from;
        impl.callback(*msg, *this, impl.user);
        ++delivered;
    }
    for (const auto& [number, count] : discarded) {
        impl.trace.warn("IPC: peer #%d was dropped: %zu unhandled messages discarded", number,
                        count);
    }
    impl.sweep();
    return delivered;
}

Error IpcPort::send(std::shared_ptr<IMsg> msg) {
    return send_to(kNoPeer, std::move(msg));
}

Error IpcPort::reply(std::shared_ptr<IMsg> msg) {
    return send_to(impl_->current, std::move(msg));
}

Error IpcPort::send_to(PeerRef only, std::shared_ptr<IMsg> msg) {
    Impl& impl = *impl_;
    if (!msg) {
        return IPC_ERR_ENCODE;
    }
    if (!impl.epoll) {
        return IPC_ERR_NOT_OPEN;
    }
    const uint32_t type = msg->get_type();
    std::vector<Peer*> targets;
    for (auto& [number, peer] : impl.peers) {
        if (peer->wants_type(type) && (only == kNoPeer || number == only)) {
            targets.push_back(peer.get());
        }
    }
    if (targets.empty()) {
        if (only == kNoPeer) {
            impl.note_unserved(type);
        }
        ++frame_counts.dropped;
        return IPC_ERR_NO_PEER;
    }
    auto frame = std::make_shared<std::string>();
    if (!ipc_encode_frame(*msg, *frame)) {
        impl.trace.error("IPC: cannot encode message type %u", type);
        return IPC_ERR_ENCODE;
    }
    std::shared_ptr<const std::string> shared = std::move(frame);
    size_t reached = 0;
    for (Peer* peer : targets) {
        reached += impl.queue(*peer, shared) ? 1 : 0;
    }
    frame_counts.out += reached;
    return reached > 0 ? IPC_OK : IPC_ERR_IO;
}

void IpcPort::hold_output(bool on) {
    impl_->holding_output = on;
    if (!on) {
        flush_output();
    }
}

void IpcPort::flush_output() {
    for (auto& [number, peer] : impl_->peers) {
        if (!peer->dead && !peer->out.empty() && !peer->write_armed) {
            impl_->flush(*peer);
        }
    }
}

void IpcPort::set_SendAndRecv() {
    send_and_recv_ = true;
    impl_->trace.sys("IPC: port %u in send-and-receive mode", id_);
}

PeerRef IpcPort::current_peer() const {
    return impl_->current;
}

std::optional<PeerCredentials> IpcPort::peer_credentials(PeerRef peer) const {
    // A peer that closed right after its last frame is still known during that run.
    const auto found = impl_->peers.find(peer);
    return found != impl_->peers.end() ? found->second->credentials : std::nullopt;
}

std::string IpcPort::describe_peer(PeerRef peer) const {
    const auto cred = peer_credentials(peer);
    if (!cred) {
        return peer == kNoPeer ? "the service itself" : "peer #" + std::to_string(peer);
    }
    return "user " + user_name(cred->uid) + " pid " + std::to_string(cred->pid);
}

const Trace& IpcPort::trace() const {
    return impl_->trace;
}

int IpcPort::poll_fd() const {
    return impl_->epoll ? impl_->epoll.get() : -1;
}

size_t IpcPort::peer_count() const {
    size_t n = 0;
    for (const auto& [number, peer] : impl_->peers) {
        n += peer->dead ? 0 : 1;
    }
    return n;
}

size_t IpcPort::subscriber_count(uint32_t type) const {
    size_t n = 0;
    for (const auto& [number, peer] : impl_->peers) {
        n += peer->wants_type(type) ? 1 : 0;
    }
    return n;
}

size_t IpcPort::pending_output() const {
    size_t n = 0;
    for (const auto& [number, peer] : impl_->peers) {
        n += peer->out_bytes;
    }
    return n;
}

bool IpcPort::adopt_peer(int fd) {
    if (!impl_->epoll) {
        UniqueFd closer(fd);
        return false;
    }
    Peer* peer = impl_->add_peer(fd);
    if (peer != nullptr) {
        impl_->trace.sys("IPC: peer #%d adopted (fd %d)", peer->number, fd);
    }
    return peer != nullptr;
}

std::string ipc_default_dir() {
    const char* dir = std::getenv("DOR_IPC_DIR");
    return dir != nullptr && dir[0] != '\0' ? dir : "/run/dor";
}

std::string ipc_socket_path(const std::string& dir, PortId id) {
    return dir + "/port-" + std::to_string(id) + ".sock";
}
