#include "https/connection_guard.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstddef>
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
    // Holds one of its side's admission slots (auth_connections or
    // free_connections).
    bool holds_slot = false;
};

// A vhost's listening connection, polled only while its side has room.
struct Listener {
    lws* wsi = nullptr;
    bool paused = false;
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
    std::array<Listener, 2> listeners;  // by side
};

Guard& guard() {
    static Guard state;
    return state;
}

// Held back refusal lines are written from a timer of each vhost; another
// looks again at a paused listener when a handshake turns stale.
struct VhostTimer {
    lws_sorted_usec_list_t sul;
    lws_sorted_usec_list_t pace_sul;
    lws_context* context;
    EdgeSide side;
};

size_t side_index(EdgeSide side) {
    return side == EdgeSide::kAuth ? 0 : 1;
}

// The slots admitted connections hold, and how many there are.
int32_t& slots_taken(EdgeSide side) {
    ConnectionCounters& counters = https_counters();
    return side == EdgeSide::kAuth ? counters.auth_connections : counters.free_connections;
}

int32_t slot_limit(EdgeSide side) {
    return side == EdgeSide::kAuth ? edge_limits().auth_connections : edge_limits().free_requests;
}

void release_slot(Connection& c) {
    if (c.holds_slot) {
        c.holds_slot = false;
        --slots_taken(c.side);
    }
}

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
    release_slot(c);
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

// Whether `c` holds a slot without having started a request: its handshake
// is unfinished, or, on the free endpoint where anyone can finish one, it has
// sent no request since. An AP sends its request right after its handshake.
bool unstarted(lws* wsi, const Connection& c) {
    if (!c.holds_slot) {
        return false;
    }
    return c.phase == Phase::kHandshake ||
           (c.side == EdgeSide::kFree && c.phase == Phase::kRequest &&
            !guard().slot_holders.contains(wsi));
}

// The oldest connection of `side` that holds a slot without having started a
// request, or null.
std::pair<lws*, Connection*> oldest_handshake(EdgeSide side) {
    std::pair<lws*, Connection*> oldest{nullptr, nullptr};
    for (auto& [wsi, c] : guard().connections) {
        if (c.side == side && unstarted(wsi, c) &&
            (oldest.second == nullptr || c.accepted_ms < oldest.second->accepted_ms)) {
            oldest = {wsi, &c};
        }
    }
    return oldest;
}

// At a side's limit, the oldest handshake that has gone on for longer than an
// AP's ever does gives way.
bool drop_stale_handshake(EdgeSide side, lws* listener) {
    const auto [oldest, found] = oldest_handshake(side);
    if (found == nullptr || found->accepted_ms > now_ms() - edge_deadlines().stale_handshake_ms) {
        return false;
    }
    guard_refused(listener,
                  side == EdgeSide::kAuth ? Refusal::kStaleHandshake : Refusal::kFreeStaleHandshake,
                  found->peer);
    close_soon(oldest, *found);
    return true;
}

void on_pace_timer(lws_sorted_usec_list_t* sul);

// A scan, not a count kept by address: only the few hundred connections that
// the limits allow are ever in the table.
int32_t free_slots_held_by(uint32_t address) {
    int32_t held = 0;
    for (const auto& [wsi, c] : guard().connections) {
        held += c.side == EdgeSide::kFree && c.holds_slot && c.address == address ? 1 : 0;
    }
    return held;
}

// A side at its limit stops accepting, so that newcomers wait in the listen
// queue instead of being refused, unless a stale handshake can make room for
// one (then the filter drops it). lws polls every listener again whenever any
// connection closes: `reassert` pauses it again.
void pace(EdgeSide side, bool reassert) {
    Listener& listener = guard().listeners[side_index(side)];
    if (listener.wsi == nullptr) {
        return;
    }
    int64_t stale_at = -1;  // when the oldest handshake turns stale
    const int64_t now = now_ms();
    const bool full = slots_taken(side) >= slot_limit(side);
    if (full) {
        const Connection* oldest = oldest_handshake(side).second;
        if (oldest != nullptr) {
            stale_at = oldest->accepted_ms + edge_deadlines().stale_handshake_ms;
        }
    }
    const bool pause = full && (stale_at < 0 || stale_at > now);
    // Flow control is how lws 4.1 lets us take POLLIN off a connection; it
    // does nothing when its own state is unchanged, hence the toggle that
    // takes POLLIN off again after lws has put it back.
    if (pause && listener.paused && reassert) {
        lws_rx_flow_control(listener.wsi, 1);
    }
    if (pause != listener.paused || reassert) {
        lws_rx_flow_control(listener.wsi, pause ? 0 : 1);
        listener.paused = pause;
    }
    VhostTimer* timer = timer_of(lws_get_vhost(listener.wsi));
    if (pause && stale_at > now && timer != nullptr) {
        lws_sul_schedule(timer->context, 0, &timer->pace_sul, on_pace_timer,
                         (stale_at - now) * 1000);
    }
}

void on_pace_timer(lws_sorted_usec_list_t* sul) {
    auto* timer = reinterpret_cast<VhostTimer*>(reinterpret_cast<char*>(sul) -
                                                offsetof(VhostTimer, pace_sul));
    pace(timer->side, false);
}

}  // namespace

// Every admission check of a new connection is here, before any TLS work, so
// that waiting at a limit instead of being refused can be decided in one place.
bool guard_admit(EdgeSide side, lws* listener, const lws_filter_network_conn_args& args) {
    Guard& state = guard();
    state.admitted.reset();
    state.listeners[side_index(side)].wsi = listener;
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
    // Anyone can finish a handshake on the free endpoint and then hold its
    // slot with silence until the request deadline: one address may not hold
    // more slots than an AP ever needs.
    if (side == EdgeSide::kFree && free_slots_held_by(address) >= kMaxFreeConnectionsPerAddress) {
        guard_refused(listener, Refusal::kFreeConnectionsPerAddress, peer);
        return false;
    }
    // A full side accepts only when a stale handshake can give way, or when
    // lws polled the listener before it was paused again. The free side's
    // limit is on requests: such a request then meets it as before.
    if (slots_taken(side) >= slot_limit(side) && !drop_stale_handshake(side, listener) &&
        side == EdgeSide::kAuth) {
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
    c.holds_slot = true;
    ++slots_taken(side);
    state.connections.insert_or_assign(wsi, std::move(c));
    lws_set_timer_usecs(wsi, static_cast<lws_usec_t>(edge_deadlines().handshake_ms) * 1000);
    pace(side, false);
}

void guard_destroyed(lws* wsi) {
    guard_release_request_slot(wsi);
    for (Listener& listener : guard().listeners) {
        if (listener.wsi == wsi) {
            listener = Listener{};
        }
    }
    if (Connection* c = find(wsi)) {
        if (c->phase == Phase::kHandshake) {
            count_handshake(*c, -1);
        }
        release_slot(*c);
        guard().connections.erase(wsi);
    }
    // Called after lws has polled every listener again.
    guard_pace_listeners();
}

void guard_pace_listeners() {
    pace(EdgeSide::kAuth, true);
    pace(EdgeSide::kFree, true);
}

void guard_download_started(lws* wsi) {
    if (Connection* c = find(wsi); c != nullptr && c->side == EdgeSide::kFree) {
        release_slot(*c);
        pace(EdgeSide::kFree, false);
    }
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
    if (counters.free_request_sessions >= edge_limits().free_requests) {
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

void guard_vhost_init(EdgeSide side, lws* wsi) {
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
        timer->side = side;
    }
}

void guard_vhost_destroy(lws* wsi) {
    lws_vhost* vhost = lws_get_vhost(wsi);
    if (VhostTimer* timer = vhost != nullptr ? timer_of(vhost) : nullptr) {
        lws_sul_cancel(&timer->sul);
        lws_sul_cancel(&timer->pace_sul);
    }
    for (Listener& listener : guard().listeners) {
        if (listener.wsi != nullptr && lws_get_vhost(listener.wsi) == vhost) {
            listener = Listener{};
        }
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
