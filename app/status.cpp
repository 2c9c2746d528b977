#include "app/status.h"

#include <cstdio>
#include <ctime>
#include <memory>
#include <vector>

#include "app/service_settings.h"
#include "controller/ipc_fields.h"
#include "dialogue/sa_config.h"
#include "dor_version.h"
#include "https/counters.h"
#include "https/lws_server_base.h"
#include "libs/ipc/ipc_port.h"
#include "libs/ipc/messages.h"
#include "libs/metrics/exposition.h"
#include "platform/globals.h"
#include "platform/metrics.h"
#include "registry/tracked_aps.h"
#include "registry/unauthed_aps.h"

const char* dor_version() {
    return DOR_VERSION_TEXT;
}

namespace {

// Members written in order, each a complete JSON value.
class Object {
  public:
    Object& raw(const char* key, const std::string& value) {
        text += (text.size() > 1 ? ",\"" : "\"") + std::string(key) + "\":" + value;
        return *this;
    }
    Object& str(const char* key, const std::string& value) {
        // Built piecewise: GCC 12 at -O3 takes `"\"" + temporary` for an
        // overlapping copy (a false -Wrestrict).
        std::string quoted(1, '"');
        quoted += exposition::json_escaped(value);
        quoted += '"';
        return raw(key, quoted);
    }
    Object& num(const char* key, double value) { return raw(key, exposition::number_text(value)); }
    Object& flag(const char* key, bool value) { return raw(key, value ? "true" : "false"); }
    std::string done() const { return text + "}"; }

  private:
    std::string text = "{";
};

std::string iso_time(const timespec& when) {
    tm utc{};
    gmtime_r(&when.tv_sec, &utc);
    char buffer[96];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  when.tv_nsec / 1000000);
    return buffer;
}

const char* state_name(const LwsServerBase* server) {
    if (server == nullptr) {
        return "absent";
    }
    switch (server->state()) {
        case STOPPED:
            return "stopped";
        case RUNNING:
            return "running";
        case FAILED:
            return "failed";
        case STOP_PENDING:
            return "stopping";
        case STARTING:
            return "starting";
    }
    return "unknown";
}

const char* incoming_name(uint32_t mode) {
    constexpr const char* kNames[] = {"accept", "reject", "maintenance"};
    return mode < std::size(kNames) ? kNames[mode] : "unknown";
}

// The AP list's state names, as dorctl shows them.
constexpr const char* kApStates[] = {"unknown",          "registering",  "waiting-auth",
                                     "joining-by-admin", "joining-auto", "joined",
                                     "upgrading-fw"};

template <class Registry>
std::string ap_counts(const Registry* registry) {
    std::vector<SaApsInfo::ApInfo> rows;
    if (registry != nullptr) {
        registry->collect_infos(rows);
    }
    uint64_t counts[std::size(kApStates)] = {};
    for (const auto& row : rows) {
        ++counts[row.state < std::size(kApStates) ? row.state : 0];
    }
    Object out;
    out.num("total", static_cast<double>(rows.size()));
    for (size_t s = 0; s < std::size(kApStates); ++s) {
        out.num(kApStates[s], static_cast<double>(counts[s]));
    }
    return out.done();
}

std::string limit(int32_t in_use, int32_t max) {
    return Object().num("in-use", in_use).num("max", max).done();
}

}  // namespace

std::string status_json(const Servers& servers) {
    const Metrics& m = metrics();
    const int64_t now = metrics_now_ns();
    const SaConfig empty;
    const SaConfig& config = g_sa_config != nullptr ? *g_sa_config : empty;

    Object endpoints;
    endpoints.raw("free", Object()
                              .str("state", state_name(servers.free_server))
                              .num("port", config.free_port)
                              .done());
    endpoints.raw("authorized", Object()
                                    .str("state", state_name(servers.auth_server))
                                    .num("port", config.auth_port)
                                    .done());

    const std::string tls = Object()
                                .str("ca-file", config.ca_file)
                                .str("cert-file", config.cert_file)
                                .str("key-file", config.key_file)
                                .str("ap-cert-dir", config.ap_cert_dir)
                                .done();
    const std::string settings =
        Object()
            .num("free-port", config.free_port)
            .num("authorized-port", config.auth_port)
            .flag("auto-authentication", config.auto_auth)
            .raw("incoming-connections",
                 Object()
                     .num("mode", config.incoming_connections)
                     .str("name", incoming_name(config.incoming_connections))
                     .done())
            .raw("tls", tls)
            .str("fw-dir", config.fw_dir)
            .done();

    const ConnectionCounters& counters = https_counters();
    const std::string limits =
        Object()
            .raw("connections", limit(counters.auth_connections, kMaxAuthConnections))
            .raw("bound-requests", limit(counters.free_request_sessions, kMaxFreeRequests))
            .raw("downloads", limit(counters.fw_download_sessions, kMaxFwDownloads))
            .done();

    Object waiting;
    size_t total = 0;
    for (size_t e = 0; e < count_of<Exchange>(); ++e) {
        const size_t count = m.pending[e].waiting(now);
        total += count;
        waiting.num(exchange_name(static_cast<Exchange>(e)), static_cast<double>(count));
    }
    waiting.num("total", static_cast<double>(total));

    return Object()
        .str("version", dor_version())
        .str("start-time", iso_time(m.start_wall))
        .num("uptime-seconds", static_cast<double>((now - m.start_ns) / 1000000000))
        .raw("endpoints", endpoints.done())
        .raw("settings", settings)
        .raw("aps", Object()
                        .raw("tracked", ap_counts(g_tracked_aps))
                        .raw("unauthed", ap_counts(g_unauthed_aps))
                        .done())
        .raw("limits", limits)
        .raw("answers-waiting", waiting.done())
        .done();
}

std::string metrics_json(const IpcPort* port) {
    IpcFrameTotals frames;
    if (port != nullptr) {
        frames = {port->frame_counts.in, port->frame_counts.out, port->frame_counts.dropped};
    }
    return exposition::to_json(metrics_families(metrics(), &frames));
}

bool handle_extension_message(const IMsg& msg, IpcPort& port, const Servers& servers) {
    if (msg_as<IPC_MSG__EXT_STATUS_REQ>(msg) != nullptr) {
        auto reply = std::make_shared<IPC_MSG__EXT_STATUS_RESP>();
        reply->json = make_shared_string(status_json(servers));
        port.send(std::move(reply));
        return true;
    }
    if (msg_as<IPC_MSG__EXT_METRICS_REQ>(msg) != nullptr) {
        auto reply = std::make_shared<IPC_MSG__EXT_METRICS_RESP>();
        reply->json = make_shared_string(metrics_json(&port));
        port.send(std::move(reply));
        return true;
    }
    return false;
}
