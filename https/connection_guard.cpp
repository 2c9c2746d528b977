#include "https/connection_guard.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>
#include <optional>
#include <unordered_map>
#include <utility>

#include "https/protocols.h"

namespace {

// Handshake: accepted, TLS not finished, counted against its address.
// Request: TLS done, the request not all there yet.
// Served: the request is in; the service answers it in its own time.
// Closing: the guard closes it; it no longer holds any limit.
enum class Phase { kHandshake, kRequest, kServed, kClosing };

struct Connection {
    EdgeSide side;
    uint32_t address;
    std::string peer;
    int64_t accepted_ms;
    Phase phase;
};

struct Guard {
    std::unordered_map<lws*, Connection> connections;
    // Unfinished handshakes by side and address.
    std::unordered_map<uint64_t, int32_t> handshakes;
    // Free request slots: the holders, and their count by address.
    std::unordered_map<lws*, uint32_t> slot_holders;
    std::unordered_map<uint32_t, int32_t> slots_by_address;
    // Admitted by the filter, taken by the creation that follows at once.
    std::optional<std::pair<uint32_t, std::string>> admitted;
};

Guard& guard() {
    static Guard state;
    return state;
}

// Held back refusal lines are written from a timer of each vhost.
struct VhostTimer {
    lws_sorted_usec_list_t sul;
    lws_context* context;
};

int64_t now_ms() {
    return lws_now_usecs() / 1000;
}

uint64_t handshake_key(EdgeSide side, uint32_t address) {
    return (static_cast<uint64_t>(side == EdgeSide::kAuth) << 32) | address;
}

void count_handshake(const Connection& c, int32_t delta) {
    auto& handshakes = guard().handshakes;
    const uint64_t key = handshake_key(c.side, c.address);
    if ((handshakes[key] += delta) <= 0) {
        handshakes.erase(key);
    }
}

// The connection gives back what it holds of the limits; lws closes it at the
// next timer callback.
void close_soon(lws* wsi, Connection& c) {
    if (c.phase == Phase::kHandshake) {
        count_handshake(c, -1);
    }
    if (c.phase != Phase::kClosing && c.side == EdgeSide::kAuth) {
        --https_counters().auth_connections;
    }
    c.phase = Phase::kClosing;
    lws_set_timer_usecs(wsi, 0);
}

Connection* find(lws* wsi) {
    auto& connections = guard().connections;
    const auto found = connections.find(wsi);
    return found != connections.end() ? &found->second : nullptr;
}

VhostTimer* timer_of(lws_vhost* vhost) {
    const lws_protocols* protocol = lws_vhost_name_to_protocol(vhost, kDefaultProtocol);
    return protocol != nullptr ? static_cast<VhostTimer*>(lws_protocol_vh_priv_get(vhost, protocol))
                               : nullptr;
}

void on_flush_timer(lws_sorted_usec_list_t* sul) {
    auto* timer = reinterpret_cast<VhostTimer*>(sul);
    const int64_t now = now_ms();
    const int64_t next = flush_refusals(now);
    if (next >= 0) {
        lws_sul_schedule(timer->context, 0, &timer->sul, on_flush_timer, (next - now) * 1000);
    }
}

std::string address_text(uint32_t address) {
    char text[INET_ADDRSTRLEN] = {};
    const in_addr in{htonl(address)};
    inet_ntop(AF_INET, &in, text, sizeof text);
    return text;
}

// At the authorized endpoint's limit, the oldest handshake that has gone on
// for longer than an AP's ever does gives way.
bool drop_stale_handshake(lws* listener) {
    const int64_t stale_before = now_ms() - edge_deadlines().stale_handshake_ms;
    lws* oldest = nullptr;
    Connection* found = nullptr;
    for (auto& [wsi, c] : guard().connections) {
        if (c.side == EdgeSide::kAuth && c.phase == Phase::kHandshake &&
            c.accepted_ms <= stale_before &&
            (found == nullptr || c.accepted_ms < found->accepted_ms)) {
            oldest = wsi;
            found = &c;
        }
    }
    if (found == nullptr) {
        return false;
    }
    guard_refused(listener, Refusal::kStaleHandshake, found->peer);
    close_soon(oldest, *found);
    return true;
}

}  // namespace

// Every admission check of a new connection is here, before any TLS work, so
// that waiting at a limit instead of being refused can be decided in one place.
bool guard_admit(EdgeSide side, lws* listener, const lws_filter_network_conn_args& args) {
    Guard& state = guard();
    state.admitted.reset();
    uint32_t address = 0;
    if (args.cli_addr.ss_family == AF_INET) {
        sockaddr_in in{};
        std::memcpy(&in, &args.cli_addr, sizeof in);
        address = ntohl(in.sin_addr.s_addr);
    }
    const std::string peer = address_text(address);
    const auto pending = state.handshakes.find(handshake_key(side, address));
    if (pending != state.handshakes.end() && pending->second >= kMaxHandshakesPerAddress) {
        guard_refused(listener, Refusal::kHandshakesPerAddress, peer);
        return false;
    }
    if (side == EdgeSide::kAuth && https_counters().auth_connections >= kMaxAuthConnections &&
        !drop_stale_handshake(listener)) {
        guard_refused(listener, Refusal::kAuthConnections, peer);
        return false;
    }
    state.admitted.emplace(address, peer);
    return true;
}

void guard_created(EdgeSide side, lws* wsi) {
    Guard& state = guard();
    Connection c{side, 0, "unknown", now_ms(), Phase::kHandshake};
    if (state.admitted) {
        c.address = state.admitted->first;
        c.peer = std::move(state.admitted->second);
        state.admitted.reset();
    }
    count_handshake(c, 1);
    if (side == EdgeSide::kAuth) {
        ++https_counters().auth_connections;
    }
    state.connections.insert_or_assign(wsi, std::move(c));
    lws_set_timer_usecs(wsi, static_cast<lws_usec_t>(edge_deadlines().handshake_ms) * 1000);
}

void guard_destroyed(lws* wsi) {
    guard_release_request_slot(wsi);
    Connection* c = find(wsi);
    if (c == nullptr) {
        return;
    }
    if (c->phase == Phase::kHandshake) {
        count_handshake(*c, -1);
    }
    if (c->phase != Phase::kClosing && c->side == EdgeSide::kAuth) {
        --https_counters().auth_connections;
    }
    guard().connections.erase(wsi);
}

void guard_handshake_done(const SSL* ssl) {
    for (auto& [wsi, c] : guard().connections) {
        if (c.phase == Phase::kHandshake && lws_get_ssl(wsi) == ssl) {
            count_handshake(c, -1);
            c.phase = Phase::kRequest;
            return;
        }
    }
}

void guard_request_received(lws* wsi) {
    Connection* c = find(wsi);
    if (c == nullptr || c->phase == Phase::kClosing) {
        return;
    }
    if (c->phase == Phase::kHandshake) {
        count_handshake(*c, -1);
    }
    c->phase = Phase::kServed;
}

bool guard_on_timer(lws* wsi) {
    Connection* c = find(wsi);
    if (c == nullptr) {
        return false;
    }
    switch (c->phase) {
        case Phase::kClosing:
            return true;
        case Phase::kServed:
            return false;
        case Phase::kHandshake: {
            SSL* ssl = lws_get_ssl(wsi);
            if (ssl == nullptr || SSL_is_init_finished(ssl) != 1) {
                guard_refused(wsi, Refusal::kHandshakeDeadline, c->peer);
                close_soon(wsi, *c);
                return true;
            }
            count_handshake(*c, -1);
            c->phase = Phase::kRequest;
            break;
        }
        case Phase::kRequest:
            break;
    }
    const int64_t left = c->accepted_ms + edge_deadlines().request_ms - now_ms();
    if (left > 0) {
        lws_set_timer_usecs(wsi, static_cast<lws_usec_t>(left) * 1000);
        return false;
    }
    guard_refused(wsi, Refusal::kRequestDeadline, c->peer);
    close_soon(wsi, *c);
    return true;
}

SlotVerdict guard_take_request_slot(lws* wsi) {
    Guard& state = guard();
    ConnectionCounters& counters = https_counters();
    const Connection* c = find(wsi);
    const uint32_t address = c != nullptr ? c->address : 0;
    const std::string peer = c != nullptr ? c->peer : "unknown";
    if (counters.free_request_sessions >= kMaxFreeRequests) {
        guard_refused(wsi, Refusal::kFreeRequests, peer);
        return SlotVerdict::kAllTaken;
    }
    int32_t& held = state.slots_by_address[address];
    if (held >= kMaxFreeRequestsPerAddress) {
        guard_refused(wsi, Refusal::kFreeRequestsPerAddress, peer);
        return SlotVerdict::kAddressHoldsTooMany;
    }
    ++held;
    ++counters.free_request_sessions;
    state.slot_holders.insert_or_assign(wsi, address);
    return SlotVerdict::kTaken;
}

void guard_release_request_slot(lws* wsi) {
    Guard& state = guard();
    const auto holder = state.slot_holders.find(wsi);
    if (holder == state.slot_holders.end()) {
        return;
    }
    const auto held = state.slots_by_address.find(holder->second);
    if (held != state.slots_by_address.end() && --held->second <= 0) {
        state.slots_by_address.erase(held);
    }
    --https_counters().free_request_sessions;
    state.slot_holders.erase(holder);
}

std::string guard_peer(lws* wsi) {
    const Connection* c = find(wsi);
    return c != nullptr ? c->peer : "unknown";
}

void guard_vhost_init(lws* wsi) {
    lws_vhost* vhost = lws_get_vhost(wsi);
    if (vhost == nullptr || timer_of(vhost) != nullptr) {
        return;
    }
    const lws_protocols* protocol = lws_vhost_name_to_protocol(vhost, kDefaultProtocol);
    if (protocol == nullptr) {
        return;
    }
    auto* timer =
        static_cast<VhostTimer*>(lws_protocol_vh_priv_zalloc(vhost, protocol, sizeof(VhostTimer)));
    if (timer != nullptr) {
        timer->context = lws_get_context(wsi);
    }
}

void guard_vhost_destroy(lws* wsi) {
    lws_vhost* vhost = lws_get_vhost(wsi);
    if (VhostTimer* timer = vhost != nullptr ? timer_of(vhost) : nullptr) {
        lws_sul_cancel(&timer->sul);
    }
    // The other vhost's timer may never run: nothing held is lost.
    flush_refusals(now_ms(), true);
}

void guard_refused(lws* wsi, Refusal kind, const std::string& peer) {
    const int64_t now = now_ms();
    if (note_refusal(kind, peer, now)) {
        return;
    }
    lws_vhost* vhost = lws_get_vhost(wsi);
    VhostTimer* timer = vhost != nullptr ? timer_of(vhost) : nullptr;
    const int64_t next = flush_refusals(now);
    if (timer != nullptr && next >= 0) {
        lws_sul_schedule(timer->context, 0, &timer->sul, on_flush_timer, (next - now) * 1000);
    }
}

std::string peer_of_ssl(const SSL* ssl) {
    for (const auto& [wsi, c] : guard().connections) {
        if (lws_get_ssl(wsi) == ssl) {
            return c.peer;
        }
    }
    sockaddr_in in{};
    socklen_t length = sizeof in;
    const int fd = SSL_get_fd(ssl);
    if (fd < 0 || getpeername(fd, reinterpret_cast<sockaddr*>(&in), &length) != 0 ||
        in.sin_family != AF_INET) {
        return "unknown";
    }
    return address_text(ntohl(in.sin_addr.s_addr));
}

size_t guard_connection_count() {
    return guard().connections.size();
}
