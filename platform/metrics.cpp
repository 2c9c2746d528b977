#include "platform/metrics.h"

#include <openssl/ssl.h>
#include <sys/stat.h>

#include <cstring>
#include <memory>
#include <string>

namespace {

Metrics g_metrics;

template <class E>
size_t index_of(E value) {
    return static_cast<size_t>(value);
}

constexpr std::pair<std::string_view, MetricPath> kPaths[] = {
    {"/register/ap", MetricPath::REGISTER},
    {"/ready/ap", MetricPath::READY},
    {"/wait/ap", MetricPath::WAIT},
    {"/report/ap", MetricPath::REPORT},
};

// The texts the endpoints refuse requests with, as they go out.
constexpr const char* kErrorTexts[] = {
    "internal error",
    "ap not tracked",
    "AP not tracked",
    "ap not tracked: failed to find AP in unauthed APs",
    "ap not tracked: invalid content-type",
    "ap not tracked: content-type not json",
    "ap not tracked: invalid content length",
    "client json parsing error",
    "can't assign MAC-IP pair",
    "other",
};
static_assert(std::size(kErrorTexts) == count_of<MetricErrorText>());

constexpr const char* kReplyCodes[] = {"4025", "4026", "4027", "4028", "1", "noted", "other"};
static_assert(std::size(kReplyCodes) == count_of<MetricReply>());

constexpr const char* kTlsRefusals[] = {
    "no_certificate", "chain", "subject", "not_stored", "differs", "expired", "connection_limit",
};
static_assert(std::size(kTlsRefusals) == count_of<TlsRefusal>());

constexpr const char* kLimits[] = {"connections",
                                   "bound_requests",
                                   "downloads",
                                   "handshakes_per_address",
                                   "requests_per_address",
                                   "stale_handshake",
                                   "handshake_deadline",
                                   "request_deadline",
                                   "connections_per_address"};
static_assert(std::size(kLimits) == count_of<MetricLimit>());

constexpr const char* kExchanges[] = {"136_137", "3_2", "140_141"};
static_assert(std::size(kExchanges) == count_of<Exchange>());

MetricReply reply_of_code(std::string_view code) {
    constexpr std::pair<std::string_view, MetricReply> kCodes[] = {
        {"4025", MetricReply::UPGRADE},  {"4026", MetricReply::UNAVAILABLE},
        {"4027", MetricReply::ALLOW},    {"4028", MetricReply::AUTH_REQUIRED},
        {"1", MetricReply::CREDENTIALS},
    };
    for (const auto& [text, reply] : kCodes) {
        if (code == text) {
            return reply;
        }
    }
    return MetricReply::OTHER;
}

Metrics::Download* download_slot(const void* connection) {
    for (Metrics::Download& slot : g_metrics.downloads) {
        if (slot.connection == connection) {
            return &slot;
        }
    }
    return nullptr;
}

}  // namespace

Metrics& metrics() {
    return g_metrics;
}

int64_t metrics_now_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

Metrics::Metrics() {
    clock_gettime(CLOCK_REALTIME, &start_wall);
    start_ns = metrics_now_ns();
}

void Metrics::reset() {
    // Rebuilt in place: the object is too large for a temporary on the stack.
    std::destroy_at(this);
    std::construct_at(this);
}

size_t PendingAnswers::home(uint64_t mac) const {
    return static_cast<size_t>((mac * 0x9E3779B97F4A7C15ULL) >> 52) % kSlots;
}

void PendingAnswers::awaited(uint64_t mac, int64_t now_ns) {
    Slot* vacant = nullptr;
    Slot* oldest = nullptr;
    for (size_t i = 0; i < kProbes; ++i) {
        Slot& slot = slots[(home(mac) + i) % kSlots];
        const bool live = slot.sent_ns >= 0 && now_ns - slot.sent_ns <= kAnswerForgetNs;
        if (live && slot.mac == mac) {
            return;  // asked again before the answer: timed from the first ask
        }
        if (!live && vacant == nullptr) {
            vacant = &slot;
        }
        if (live && (oldest == nullptr || slot.sent_ns < oldest->sent_ns)) {
            oldest = &slot;
        }
    }
    *(vacant != nullptr ? vacant : oldest) = Slot{mac, now_ns};
}

int64_t PendingAnswers::answered(uint64_t mac, int64_t now_ns) {
    for (size_t i = 0; i < kProbes; ++i) {
        Slot& slot = slots[(home(mac) + i) % kSlots];
        if (slot.sent_ns >= 0 && slot.mac == mac && now_ns - slot.sent_ns <= kAnswerForgetNs) {
            const int64_t sent = slot.sent_ns;
            slot = Slot{};
            return sent;
        }
    }
    return -1;
}

size_t PendingAnswers::waiting(int64_t now_ns) const {
    size_t count = 0;
    for (const Slot& slot : slots) {
        count += slot.sent_ns >= 0 && now_ns - slot.sent_ns <= kAnswerForgetNs ? 1 : 0;
    }
    return count;
}

void metrics_request(std::string_view endpoint_name, std::string_view path) {
    const MetricEndpoint endpoint =
        endpoint_name == "FREE" ? MetricEndpoint::FREE : MetricEndpoint::AUTHORIZED;
    MetricPath which = MetricPath::OTHER;
    for (const auto& [text, known] : kPaths) {
        if (path == text) {
            which = known;
            break;
        }
    }
    ++g_metrics.requests[index_of(endpoint)][index_of(which)];
}

void metrics_ok_reply(std::string_view body) {
    MetricReply reply = MetricReply::OTHER;
    if (body.starts_with(R"({"noted":true)")) {
        reply = MetricReply::NOTED;
    } else {
        // Only the key itself has a bare quote before the colon: inside a
        // text (a password, a file name) the quote is escaped.
        constexpr std::string_view kKey = R"("code":)";
        const size_t at = body.find(kKey);
        if (at != std::string_view::npos) {
            size_t begin = at + kKey.size();
            while (begin < body.size() && body[begin] == ' ') {
                ++begin;
            }
            size_t end = begin;
            while (end < body.size() && body[end] >= '0' && body[end] <= '9') {
                ++end;
            }
            reply = reply_of_code(body.substr(begin, end - begin));
        }
    }
    ++g_metrics.replies[index_of(reply)];
}

void metrics_error_reply(std::string_view text) {
    size_t which = index_of(MetricErrorText::OTHER);
    for (size_t i = 0; i < which; ++i) {
        if (text == kErrorTexts[i]) {
            which = i;
            break;
        }
    }
    ++g_metrics.error_replies[which];
}

void metrics_tls_refused(TlsRefusal reason) {
    ++g_metrics.tls_refused[index_of(reason)];
}

void metrics_tls_chain_refused(int x509_error) {
    metrics_tls_refused(x509_error == X509_V_ERR_CERT_HAS_EXPIRED ? TlsRefusal::EXPIRED
                                                                  : TlsRefusal::CHAIN);
}

void metrics_tls_alert_sent(const void* ssl, int where, int alert) {
    const SSL* connection = static_cast<const SSL*>(ssl);
    const int description = alert & 0xff;
    // Refused while reading the client's certificate message, and none came:
    // TLS 1.3 says so with its own alert, TLS 1.2 with a handshake failure.
    if ((where & SSL_CB_WRITE_ALERT) != 0 && (alert >> 8) == SSL3_AL_FATAL &&
        SSL_get_state(connection) == TLS_ST_SR_CERT &&
        (description == SSL_AD_CERTIFICATE_REQUIRED || description == SSL_AD_HANDSHAKE_FAILURE) &&
        SSL_get0_peer_certificate(connection) == nullptr) {
        metrics_tls_refused(TlsRefusal::NO_CERTIFICATE);
    }
}

void metrics_limit_refused(MetricLimit limit) {
    ++g_metrics.limit_refusals[index_of(limit)];
    if (limit == MetricLimit::CONNECTIONS) {
        metrics_tls_refused(TlsRefusal::CONNECTION_LIMIT);
    }
}

void metrics_download_started(const void* connection, const char* path) {
    ++g_metrics.downloads_started;
    Metrics::Download* slot = download_slot(nullptr);
    struct stat info {};
    if (slot != nullptr && stat(path, &info) == 0) {
        *slot = Metrics::Download{connection, static_cast<uint64_t>(info.st_size), false};
    }
}

void metrics_download_completed(const void* connection) {
    if (Metrics::Download* slot = download_slot(connection)) {
        slot->completed = true;
    }
}

void metrics_download_closed(const void* connection) {
    Metrics::Download* slot = download_slot(connection);
    if (slot == nullptr) {
        return;  // refused before it started
    }
    if (slot->completed) {
        ++g_metrics.downloads_completed;
        g_metrics.download_bytes += slot->size;
    } else {
        ++g_metrics.downloads_failed;
    }
    *slot = Metrics::Download{};
}

void metrics_event_sent(uint32_t code) {
    ++g_metrics.events[code < kEventCodes ? code : kEventCodes];
}

void metrics_answer_received(Exchange exchange, uint64_t mac) {
    const int64_t now = metrics_now_ns();
    const int64_t sent = g_metrics.pending[index_of(exchange)].answered(mac, now);
    if (sent < 0) {
        return;  // not asked by us, or asked too long ago
    }
    const int64_t elapsed = now - sent;
    AnswerHistogram& histogram = g_metrics.answers[index_of(exchange)];
    size_t bucket = 0;
    while (bucket<kAnswerBucketCount&& static_cast<double>(elapsed)> kAnswerBuckets[bucket] * 1e9) {
        ++bucket;
    }
    ++histogram.buckets[bucket];
    ++histogram.count;
    histogram.sum_ns += static_cast<uint64_t>(elapsed);
}

const char* metric_path_name(MetricPath path) {
    constexpr const char* kNames[] = {"/register/ap", "/ready/ap", "/wait/ap", "/report/ap",
                                      "other"};
    return kNames[index_of(path)];
}
const char* metric_error_text(MetricErrorText text) {
    return kErrorTexts[index_of(text)];
}
const char* tls_refusal_name(TlsRefusal reason) {
    return kTlsRefusals[index_of(reason)];
}
const char* metric_limit_name(MetricLimit limit) {
    return kLimits[index_of(limit)];
}
const char* exchange_name(Exchange exchange) {
    return kExchanges[index_of(exchange)];
}

namespace {

using exposition::Family;
using exposition::Sample;

Family counter(const char* name, const char* help) {
    return Family{name, "counter", help, {}};
}

void add(Family& family, double value,
         std::vector<std::pair<std::string, std::string>> labels = {}) {
    family.samples.push_back(Sample{family.name, std::move(labels), value});
}

Family answer_histogram(const Metrics& m) {
    Family family{"dor_controller_answer_seconds",
                  "histogram",
                  "Time from a request to the controller to its answer (136 to 137, 3 to 2, "
                  "140 to 141)",
                  {}};
    for (size_t e = 0; e < count_of<Exchange>(); ++e) {
        const AnswerHistogram& h = m.answers[e];
        const std::string exchange = kExchanges[e];
        uint64_t cumulative = 0;
        for (size_t b = 0; b <= kAnswerBucketCount; ++b) {
            cumulative += h.buckets[b];
            const std::string le =
                b < kAnswerBucketCount ? exposition::number_text(kAnswerBuckets[b]) : "+Inf";
            family.samples.push_back(Sample{family.name + "_bucket",
                                            {{"exchange", exchange}, {"le", le}},
                                            static_cast<double>(cumulative)});
        }
        family.samples.push_back(Sample{
            family.name + "_sum", {{"exchange", exchange}}, static_cast<double>(h.sum_ns) / 1e9});
        family.samples.push_back(
            Sample{family.name + "_count", {{"exchange", exchange}}, static_cast<double>(h.count)});
    }
    return family;
}

}  // namespace

std::vector<exposition::Family> metrics_families(const Metrics& m, const IpcFrameTotals* ipc) {
    std::vector<Family> out;

    Family start{"dor_start_time_seconds", "gauge", "When the service started, in Unix time", {}};
    add(start, static_cast<double>(m.start_wall.tv_sec));
    out.push_back(std::move(start));

    Family requests = counter("dor_https_requests_total", "AP requests by endpoint and path");
    for (size_t e = 0; e < count_of<MetricEndpoint>(); ++e) {
        for (size_t p = 0; p < count_of<MetricPath>(); ++p) {
            add(requests, static_cast<double>(m.requests[e][p]),
                {{"endpoint", e == index_of(MetricEndpoint::FREE) ? "free" : "authorized"},
                 {"path", metric_path_name(static_cast<MetricPath>(p))}});
        }
    }
    out.push_back(std::move(requests));

    Family replies = counter("dor_https_replies_total", "Status 200 replies to APs by code");
    for (size_t r = 0; r < count_of<MetricReply>(); ++r) {
        add(replies, static_cast<double>(m.replies[r]), {{"code", kReplyCodes[r]}});
    }
    out.push_back(std::move(replies));

    Family errors = counter("dor_https_error_replies_total", "Status 400 replies to APs by text");
    for (size_t t = 0; t < count_of<MetricErrorText>(); ++t) {
        add(errors, static_cast<double>(m.error_replies[t]), {{"text", kErrorTexts[t]}});
    }
    out.push_back(std::move(errors));

    Family accepted = counter("dor_tls_handshakes_accepted_total",
                              "Client certificates accepted by the authorized endpoint");
    add(accepted, static_cast<double>(m.tls_accepted));
    out.push_back(std::move(accepted));

    Family refused =
        counter("dor_tls_handshakes_refused_total", "Authorized endpoint refusals by reason");
    for (size_t r = 0; r < count_of<TlsRefusal>(); ++r) {
        add(refused, static_cast<double>(m.tls_refused[r]), {{"reason", kTlsRefusals[r]}});
    }
    out.push_back(std::move(refused));

    Family limits =
        counter("dor_limit_refusals_total", "Connections or requests refused at a limit");
    for (size_t l = 0; l < count_of<MetricLimit>(); ++l) {
        add(limits, static_cast<double>(m.limit_refusals[l]), {{"limit", kLimits[l]}});
    }
    out.push_back(std::move(limits));

    const std::pair<const char*, uint64_t> downloads[] = {
        {"started", m.downloads_started},
        {"completed", m.downloads_completed},
        {"failed", m.downloads_failed},
    };
    for (const auto& [what, value] : downloads) {
        Family family = counter(("dor_fw_downloads_" + std::string(what) + "_total").c_str(),
                                ("Firmware downloads " + std::string(what)).c_str());
        add(family, static_cast<double>(value));
        out.push_back(std::move(family));
    }
    Family bytes = counter("dor_fw_download_bytes_total", "Image bytes of completed downloads");
    add(bytes, static_cast<double>(m.download_bytes));
    out.push_back(std::move(bytes));

    out.push_back(answer_histogram(m));

    Family events = counter("dor_ap_events_total", "AP events sent to the controller by code");
    for (size_t c = 0; c <= kEventCodes; ++c) {
        add(events, static_cast<double>(m.events[c]),
            {{"code", c < kEventCodes ? std::to_string(c) : "other"}});
    }
    out.push_back(std::move(events));

    if (ipc != nullptr) {
        Family frames = counter("dor_ipc_frames_total", "IPC frames by direction");
        add(frames, static_cast<double>(ipc->in), {{"direction", "in"}});
        add(frames, static_cast<double>(ipc->out), {{"direction", "out"}});
        add(frames, static_cast<double>(ipc->dropped), {{"direction", "dropped"}});
        out.push_back(std::move(frames));
    }
    return out;
}
