#include "registry/registry_sides.h"

#include <utility>

#include "controller/ap_events.h"
#include "dialogue/ap_data_authorized.h"
#include "dialogue/ap_data_unauthorized.h"
#include "libs/trace/trace.h"
#include "platform/globals.h"

// ---- tracked (authorized) APs ----

void TrackedSide::report(std::string reason, std::optional<std::string> ip,
                         std::optional<MacAddr> mac, std::optional<std::string> device_type,
                         std::optional<std::string> sw_version) {
    report_auth_ap_event(std::move(reason), std::move(ip), mac, std::move(device_type),
                         std::move(sw_version));
}

void TrackedSide::trace_track(const std::string& ip, const std::string& path, const Handler&, bool,
                              const std::optional<MacAddr>& mac) {
    static constexpr const char* kText = "TRACK AP: Start tracking [%s] with path [%s]";
    if (mac) {
        sa_trace.core_mac(*mac, kText, ip.c_str(), path.c_str());
    } else {
        sa_trace.core(kText, ip.c_str(), path.c_str());
    }
}

void TrackedSide::trace_expiry(const std::string& ip, const Handler&,
                               const std::optional<MacAddr>& mac) {
    static constexpr const char* kText = "Expired timeout for authorized AP %s";
    if (mac) {
        sa_trace.warn_mac(*mac, kText, ip.c_str());
    } else {
        sa_trace.warn(kText, ip.c_str());
    }
}

void TrackedSide::expired_record(const MacAddr& mac) {
    send_ap_reg_timeout(mac);
}

std::string TrackedSide::sa_status(const Handler&) {
    return "joined";
}

SaApState TrackedSide::list_state(const Handler&) {
    return SaApState::JOINED;
}

// ---- unauthorized APs ----

namespace {

struct StateRow {
    const char* name;
    const char* status;
    SaApState code;
};

// Indexed by UnauthedApSaState.
constexpr StateRow kStates[] = {
    {"REGISTER", "registering", SaApState::REGISTERING},
    {"WAIT_AUTH", "awaited", SaApState::WAITING_AUTH},
    {"JOIN_BY_ADMIN", "join-by-admin", SaApState::JOINING_BY_ADMIN},
    {"JOIN_AUTO", "join-auto", SaApState::JOINING_AUTO},
    {"UPGRADING_FW", "upgrading fw", SaApState::UPGRADING_FW},
    {"UNKNOWN", "", SaApState::UNKNOWN},
};
constexpr uint32_t kStateCount = sizeof kStates / sizeof kStates[0];
static_assert(kStateCount == UnauthedApSaState::UNKNOWN + 1);

}  // namespace

const char* UnauthedSide::state_name(uint32_t state) {
    return state < kStateCount ? kStates[state].name : "UNKNOWN";
}

std::string UnauthedSide::status_text(uint32_t state) {
    // A value that is set on purpose but never expected to be listed.
    if (state == UnauthedApSaState::UNKNOWN)
        sa_trace.error("UnauthedApSaState::UNKNOWN");
    return state < kStateCount ? kStates[state].status : "";
}

SaApState UnauthedSide::state_code(uint32_t state) {
    return state < kStateCount ? kStates[state].code : SaApState::UNKNOWN;
}

void UnauthedSide::report(std::string reason, std::optional<std::string> ip,
                          std::optional<MacAddr> mac, std::optional<std::string> device_type,
                          std::optional<std::string> sw_version) {
    report_free_ap_event(std::move(reason), std::move(ip), mac, std::move(device_type),
                         std::move(sw_version));
}

bool UnauthedSide::is_upgrading(const Handler& ap) {
    return ap.is_upgrading();
}

void UnauthedSide::trace_track(const std::string& ip, const std::string&, const Handler& ap,
                               bool was_upgrading, const std::optional<MacAddr>& mac) {
    static constexpr const char* kCompleted = "firmware upgrade of unauthorized AP %s: completed";
    const char* state = state_name(ap.state);
    if (mac) {
        if (was_upgrading)
            sa_trace.events_mac(*mac, kCompleted, ip.c_str());
        sa_trace.events_mac(*mac, "start tracking unauthorized AP [%s], state [%s]", ip.c_str(),
                            state);
    } else {
        if (was_upgrading)
            sa_trace.events(kCompleted, ip.c_str());
        sa_trace.events("start tracking unauthorized AP [%s] state [%s]", ip.c_str(), state);
    }
}

void UnauthedSide::trace_expiry(const std::string& ip, const Handler& ap,
                                const std::optional<MacAddr>& mac) {
    static constexpr const char* kFailed = "firmware upgrade of unauthorized AP %s: failed";
    static constexpr const char* kExpired = "Expired timeout for unauthorized AP %s";
    const bool upgrading = ap.is_upgrading();
    if (mac) {
        if (upgrading)
            sa_trace.warn_mac(*mac, kFailed, ip.c_str());
        sa_trace.warn_mac(*mac, kExpired, ip.c_str());
    } else {
        if (upgrading)
            sa_trace.warn(kFailed, ip.c_str());
        sa_trace.warn(kExpired, ip.c_str());
    }
}

std::string UnauthedSide::sa_status(const Handler& ap) {
    return status_text(ap.state);
}

SaApState UnauthedSide::list_state(const Handler& ap) {
    return state_code(ap.state);
}

void UnauthedSide::trace_listed(const std::string& ip, const Handler& ap) {
    sa_trace.ap_mac(ap.params->mac, "Unauthed ap %s age %u", ip.c_str(), ap.countdown);
}
