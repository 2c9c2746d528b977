#pragma once
// Every limit and deadline of the two endpoints, the counts they are checked
// against and the tally of what they refused; touched only on the loop thread.
// The checks themselves live in connection_guard.cpp (connections, handshakes,
// deadlines, request slots) and endpoint.cpp (downloads).

#include <cstdint>
#include <string>

struct ConnectionCounters {
    // Downloads below "/fw" on either vhost, +1 at the request, -1 at close.
    int32_t fw_download_sessions = 0;
    // Connections of the authorized vhost that hold one of its slots: all of
    // them but those the guard has already decided to close.
    int32_t auth_connections = 0;
    // Requests bound to the free vhost's "http" protocol.
    int32_t free_request_sessions = 0;
    // Connections of the free vhost that may still bind a request: from their
    // acceptance until they close, turn out to be a download, or the guard
    // closes them.
    int32_t free_connections = 0;
};

ConnectionCounters& https_counters();

// Limits applied by the filters.
inline constexpr int32_t kMaxFwDownloads = 50;
inline constexpr int32_t kMaxAuthConnections = 100;
inline constexpr int32_t kMaxFreeRequests = 100;
// An AP sends one request at a time; the spare ones cover a retry that starts
// before the service has seen its previous connection close.
inline constexpr int32_t kMaxFreeRequestsPerAddress = 4;
// Unfinished TLS handshakes that one source address may have at once, on each
// endpoint: an AP runs one at a time; the spare ones cover a client whose next
// connection overtakes the end of its last handshake. A client opening more is
// not an AP.
inline constexpr int32_t kMaxHandshakesPerAddress = 8;
// Places of the free endpoint (connections that may still bind a request)
// that one source address may hold at once: twice the request slots, for the
// same reason as the spare handshakes above.
inline constexpr int32_t kMaxFreeConnectionsPerAddress = 2 * kMaxFreeRequestsPerAddress;

// At a limit the endpoint stops accepting instead of refusing: the kernel
// holds the newcomers in the listening socket's queue, and each is accepted
// as a slot frees. A site's APs all come back at once after a power cut, so
// the queue holds thousands; the kernel caps it at net.core.somaxconn.
inline constexpr int kListenBacklog = 4096;

// The connection and request limits in force: the constants above, lowered
// only in tests (see edge_limits in counters.cpp).
struct EdgeLimits {
    int32_t auth_connections = kMaxAuthConnections;
    int32_t free_requests = kMaxFreeRequests;
};
const EdgeLimits& edge_limits();

// Deadlines, counted from the connection's acceptance.
struct EdgeDeadlines {
    // An AP finishes its handshake in a few round trips and milliseconds of
    // CPU, even with a full queue of handshakes ahead of it (100 take well
    // under a second here); lws itself would wait 5 s.
    int handshake_ms = 3000;
    // Handshake, headers and body of one request: an AP sends them at once,
    // so 10 s is ample even on a slow link, and it bounds how long a client
    // trickling its body can hold a request slot.
    int request_ms = 10000;
    // With the authorized endpoint at its connection limit, a handshake still
    // unfinished after this long is closed to make room for the newcomer: an
    // AP's handshake takes milliseconds, an idle client's never ends.
    int stale_handshake_ms = 1000;
};
inline constexpr EdgeDeadlines kEdgeDeadlines{};
// The deadlines in force: kEdgeDeadlines, except in tests that shorten them
// through set_edge_deadlines_for_tests.
const EdgeDeadlines& edge_deadlines();
void set_edge_deadlines_for_tests(const EdgeDeadlines& deadlines);

// Refusals and closes at the limits and deadlines above. Each is counted and
// logged at most once a second (kRefusalLogIntervalMs), with the number since
// the previous line of its kind and the last peer; the rest wait for a timer.
enum class Refusal {
    kAuthConnections,
    kHandshakesPerAddress,
    kStaleHandshake,
    kFreeStaleHandshake,
    kHandshakeDeadline,
    kRequestDeadline,
    kFreeRequests,
    kFreeRequestsPerAddress,
    kAuthFwDownloads,
    kFreeFwDownloads,
    kFreeConnectionsPerAddress,
};
inline constexpr int kRefusalKinds = 11;
// An operator sees an attack within a second, and a flood writes one line a
// second per kind.
inline constexpr int kRefusalLogIntervalMs = 1000;

// Counts one refusal from `peer`; true when its line was written now.
// `now_ms` is a monotonic clock.
bool note_refusal(Refusal kind, const std::string& peer, int64_t now_ms);
// Writes the lines that were held back and are due (all of them with `all`);
// the time of the next one due, or -1 when nothing is held.
int64_t flush_refusals(int64_t now_ms, bool all = false);
// Refusals of a kind since start.
uint64_t refusal_count(Refusal kind);
