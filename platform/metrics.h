#pragma once
// What the service did since it started, counted where it happens. One object
// for the process, touched only on the loop thread: every count is a plain
// increment of an array element indexed by an enum, so counting costs the hot
// path next to nothing. Rendering (metrics_families) happens only on request.

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string_view>
#include <vector>

#include "libs/metrics/exposition.h"

enum class MetricEndpoint : uint8_t { FREE, AUTHORIZED, COUNT };
enum class MetricPath : uint8_t { REGISTER, READY, WAIT, REPORT, OTHER, COUNT };
enum class MetricReply : uint8_t {
    UPGRADE,
    UNAVAILABLE,
    ALLOW,
    AUTH_REQUIRED,
    CREDENTIALS,
    NOTED,
    OTHER,
    COUNT
};
enum class MetricErrorText : uint8_t {
    INTERNAL,
    NOT_TRACKED_LOWER,
    NOT_TRACKED_UPPER,
    NOT_IN_UNAUTHED,
    BAD_CONTENT_TYPE,
    NOT_JSON_TYPE,
    BAD_CONTENT_LENGTH,
    BAD_JSON,
    NO_MAC_IP_PAIR,
    OTHER,
    COUNT
};
enum class TlsRefusal : uint8_t {
    NO_CERTIFICATE,
    CHAIN,
    SUBJECT,
    NOT_STORED,
    DIFFERS,
    EXPIRED,
    CONNECTION_LIMIT,
    COUNT
};
// Refusals and closes at the edge's limits and deadlines.
enum class MetricLimit : uint8_t {
    CONNECTIONS,
    BOUND_REQUESTS,
    DOWNLOADS,
    HANDSHAKES_PER_ADDRESS,
    REQUESTS_PER_ADDRESS,
    STALE_HANDSHAKE,
    HANDSHAKE_DEADLINE,
    REQUEST_DEADLINE,
    CONNECTIONS_PER_ADDRESS,
    COUNT
};
// The controller's answers that an AP waits for: 136->137, 3->2, 140->141.
enum class Exchange : uint8_t { FW_CHECK, CREDENTIALS, CERT_AUTH, COUNT };

template <class E>
constexpr size_t count_of() {
    return static_cast<size_t>(E::COUNT);
}

// Upper bounds of the answer-time buckets, in seconds: the controller answers
// from its cache in milliseconds and after asking other services in seconds.
inline constexpr double kAnswerBuckets[] = {0.001, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25,
                                            0.5,   1,     2.5,  5,     10,   30,  60};
inline constexpr size_t kAnswerBucketCount = std::size(kAnswerBuckets);
// AP event codes 0 to 5; anything else is counted as "other".
inline constexpr size_t kEventCodes = 6;

struct AnswerHistogram {
    uint64_t buckets[kAnswerBucketCount + 1] = {};  // the last one is +Inf
    uint64_t count = 0;
    uint64_t sum_ns = 0;
};

// Requests sent to the controller and not answered yet, by MAC, so that the
// answer can be timed. A fixed open-addressed table: no allocation, and a full
// neighbourhood gives up its oldest entry.
class PendingAnswers {
  public:
    void awaited(uint64_t mac, int64_t now_ns);
    // The time the request was sent, and the entry is gone; -1 if none.
    int64_t answered(uint64_t mac, int64_t now_ns);
    size_t waiting(int64_t now_ns) const;

  private:
    struct Slot {
        uint64_t mac = 0;
        int64_t sent_ns = -1;  // -1: free
    };
    static constexpr size_t kSlots = 4096;  // twice the APs one controller serves at once
    static constexpr size_t kProbes = 16;
    size_t home(uint64_t mac) const;
    Slot slots[kSlots];
};

// An answer later than this finds no AP waiting: an AP is forgotten after at
// most 360 one-second expiry steps without a request.
inline constexpr int64_t kAnswerForgetNs = 360LL * 1000000000LL;

struct Metrics {
    uint64_t requests[count_of<MetricEndpoint>()][count_of<MetricPath>()] = {};
    uint64_t replies[count_of<MetricReply>()] = {};
    uint64_t error_replies[count_of<MetricErrorText>()] = {};
    uint64_t tls_accepted = 0;
    uint64_t tls_refused[count_of<TlsRefusal>()] = {};
    uint64_t limit_refusals[count_of<MetricLimit>()] = {};
    uint64_t downloads_started = 0;
    uint64_t downloads_completed = 0;
    uint64_t downloads_failed = 0;
    uint64_t download_bytes = 0;
    AnswerHistogram answers[count_of<Exchange>()];
    PendingAnswers pending[count_of<Exchange>()];
    uint64_t events[kEventCodes + 1] = {};

    // Open downloads with the size of their image, counted as sent once complete.
    struct Download {
        const void* connection = nullptr;
        uint64_t size = 0;
        bool completed = false;
    };
    // Above the download limit, so that every open download has a slot.
    static constexpr size_t kDownloadSlots = 64;
    Download downloads[kDownloadSlots];

    timespec start_wall{};
    int64_t start_ns = 0;

    Metrics();  // starts the clock
    // Back to zero, with the start time now (tests, and the service's start).
    void reset();
};

Metrics& metrics();
int64_t metrics_now_ns();  // monotonic

// The hooks, one line each at the place the event happens.
void metrics_request(std::string_view endpoint_name, std::string_view path);
void metrics_ok_reply(std::string_view body);
void metrics_error_reply(std::string_view text);
void metrics_tls_refused(TlsRefusal reason);
// A chain refusal, told apart by OpenSSL's verify error (expired or not).
void metrics_tls_chain_refused(int x509_error);
// An alert the server sent (OpenSSL's info callback); counts a handshake
// refused for want of a client certificate.
void metrics_tls_alert_sent(const void* ssl, int where, int alert);
void metrics_limit_refused(MetricLimit limit);
void metrics_download_started(const void* connection, const char* path);
void metrics_download_completed(const void* connection);
void metrics_download_closed(const void* connection);
void metrics_event_sent(uint32_t code);

template <class Mac>
uint64_t metrics_mac_key(const Mac& mac) {
    uint64_t key = 0;
    for (unsigned char octet : mac.octets) {
        key = key << 8 | octet;
    }
    return key;
}
template <class Mac>
void metrics_answer_awaited(Exchange exchange, const Mac& mac) {
    metrics().pending[static_cast<size_t>(exchange)].awaited(metrics_mac_key(mac),
                                                             metrics_now_ns());
}
void metrics_answer_received(Exchange exchange, uint64_t mac);

const char* metric_path_name(MetricPath path);
const char* metric_error_text(MetricErrorText text);
const char* tls_refusal_name(TlsRefusal reason);
const char* metric_limit_name(MetricLimit limit);
const char* exchange_name(Exchange exchange);

// Every counter as metric families; `ipc` null leaves the IPC frames out.
struct IpcFrameTotals {
    uint64_t in = 0, out = 0, dropped = 0;
};
std::vector<exposition::Family> metrics_families(const Metrics& m, const IpcFrameTotals* ipc);
