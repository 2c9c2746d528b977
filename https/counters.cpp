#include "https/counters.h"

#include <array>
#include <cstdio>
#include <cstdlib>

#include "libs/trace/trace.h"
#include "platform/globals.h"
#include "platform/metrics.h"

namespace {

struct RefusalText {
    void (Trace::*trace)(const char* fmt, ...) const;
    const char* what;  // the limit's own log text where it had one
    const char* done;  // what happened to each
};

// Indexed by Refusal. The limits that had a line of their own for each refusal
// keep its text at the start of the counted line.
constexpr RefusalText kTexts[kRefusalKinds] = {
    {&Trace::warn, "AUTHORIZED HTTPS: connections limit exceeded", "connections refused"},
    {&Trace::warn, "HTTPS: unfinished TLS handshakes per address limit exceeded",
     "connections refused"},
    {&Trace::warn, "AUTHORIZED HTTPS: connections limit reached, stale TLS handshake dropped",
     "connections closed"},
    {&Trace::warn, "FREE HTTPS: connections limit reached, stale connection dropped",
     "connections closed"},
    {&Trace::warn, "HTTPS: TLS handshake not finished in time", "connections closed"},
    {&Trace::warn, "HTTPS: request not received in time", "connections closed"},
    {&Trace::core, "Certificate generating APs limit exceeded", "requests refused"},
    {&Trace::warn, "FREE HTTPS: requests per address limit exceeded", "requests refused"},
    {&Trace::warn, "upgrading APs limit exceeded", "downloads refused"},
    {&Trace::core, "Upgrading APs limit exceeded", "downloads refused"},
    {&Trace::warn, "FREE HTTPS: connections per address limit exceeded", "connections refused"},
};

struct Tally {
    uint64_t total = 0;
    int64_t held = 0;  // since the last line
    int64_t next_line_ms = 0;
    std::string last_peer;
};

std::array<Tally, kRefusalKinds>& tallies() {
    static std::array<Tally, kRefusalKinds> all;
    return all;
}

EdgeDeadlines& deadlines_in_force() {
    static EdgeDeadlines deadlines = kEdgeDeadlines;
    return deadlines;
}

void write_line(int kind, Tally& tally, int64_t now_ms) {
    const RefusalText& text = kTexts[kind];
    (sa_trace.*text.trace)("%s (%s since the last line: %lld, the last from %s)", text.what,
                           text.done, static_cast<long long>(tally.held), tally.last_peer.c_str());
    tally.held = 0;
    tally.next_line_ms = now_ms + kRefusalLogIntervalMs;
}

}  // namespace

ConnectionCounters& https_counters() {
    static ConnectionCounters counters;
    return counters;
}

// TEST ONLY: end-to-end tests cannot reach the limits of 100 with a few
// hundred simulated APs on a small machine, so they lower them with
// DOR_SA_TEST_ONLY_EDGE_LIMITS="<authorized connections>,<free requests>".
// Only lowering is honoured; a service in production never has it set.
const EdgeLimits& edge_limits() {
    static const EdgeLimits limits = [] {
        EdgeLimits in_force;
        const char* text = std::getenv("DOR_SA_TEST_ONLY_EDGE_LIMITS");
        int auth = 0;
        int free = 0;
        if (text != nullptr && std::sscanf(text, "%d,%d", &auth, &free) == 2) {
            if (auth > 0 && auth < in_force.auth_connections) {
                in_force.auth_connections = auth;
            }
            if (free > 0 && free < in_force.free_requests) {
                in_force.free_requests = free;
            }
            sa_trace.warn(
                "TEST ONLY: edge limits lowered to %d authorized connections, %d free "
                "requests",
                in_force.auth_connections, in_force.free_requests);
        }
        return in_force;
    }();
    return limits;
}

const EdgeDeadlines& edge_deadlines() {
    return deadlines_in_force();
}

void set_edge_deadlines_for_tests(const EdgeDeadlines& deadlines) {
    deadlines_in_force() = deadlines;
}

namespace {

constexpr MetricLimit kMetricOf[kRefusalKinds] = {
    MetricLimit::CONNECTIONS,
    MetricLimit::HANDSHAKES_PER_ADDRESS,
    MetricLimit::STALE_HANDSHAKE,
    MetricLimit::STALE_HANDSHAKE,
    MetricLimit::HANDSHAKE_DEADLINE,
    MetricLimit::REQUEST_DEADLINE,
    MetricLimit::BOUND_REQUESTS,
    MetricLimit::REQUESTS_PER_ADDRESS,
    MetricLimit::DOWNLOADS,
    MetricLimit::DOWNLOADS,
    MetricLimit::CONNECTIONS_PER_ADDRESS,
};

}  // namespace

bool note_refusal(Refusal kind, const std::string& peer, int64_t now_ms) {
    const int index = static_cast<int>(kind);
    metrics_limit_refused(kMetricOf[index]);
    Tally& tally = tallies()[index];
    ++tally.total;
    ++tally.held;
    tally.last_peer = peer;
    if (now_ms < tally.next_line_ms) {
        return false;
    }
    write_line(index, tally, now_ms);
    return true;
}

int64_t flush_refusals(int64_t now_ms, bool all) {
    int64_t next = -1;
    for (int kind = 0; kind < kRefusalKinds; ++kind) {
        Tally& tally = tallies()[kind];
        if (tally.held == 0) {
            continue;
        }
        if (all || now_ms >= tally.next_line_ms) {
            write_line(kind, tally, now_ms);
        } else if (next < 0 || tally.next_line_ms < next) {
            next = tally.next_line_ms;
        }
    }
    return next;
}

uint64_t refusal_count(Refusal kind) {
    return tallies()[static_cast<int>(kind)].total;
}
