#include "controller/fw_check_result.h"

#include "controller/ap_events.h"
#include "controller/ipc_fields.h"
#include "dialogue/ap_data_authorized.h"
#include "dialogue/ap_data_unauthorized.h"
#include "libs/ipc/messages.h"
#include "libs/trace/trace.h"
#include "platform/globals.h"
#include "registry/tracked_aps.h"
#include "registry/unauthed_aps.h"

namespace {

struct TrackedLookup {
    static constexpr const char* kNoIpLog = "Can`t find ip for [%s] TRACKED";
    static constexpr const char* kNoIpReason = "can`t find AP ip address for TRACKED";
    static void report_no_ip(const MacAddr& mac) { report_auth_ap_event(kNoIpReason, {}, mac); }
};

struct UnauthedLookup {
    static constexpr const char* kNoIpLog = "Can`t find ip for [%s] NOT_TRACKED";
    static constexpr const char* kNoIpReason = "can`t find AP ip address for NOT_TRACKED";
    static void report_no_ip(const MacAddr& mac) { report_free_ap_event(kNoIpReason, {}, mac); }
};

template <class Lookup, class Registry>
void deliver(const IPC_MSG__FW_AP_CHECK_RESULT& result, const MacAddr& mac, Registry& registry) {
    // An invalid MAC would match an AP that sent 00:00:00:00:00:00.
    const auto ip = mac.valid ? registry.find_ip(mac) : std::nullopt;
    if (!ip) {
        sa_trace.warn_mac(mac, Lookup::kNoIpLog, mac.str().c_str());
        Lookup::report_no_ip(mac);
        return;
    }
    const auto ap = registry.find(*ip);
    if (!ap) {
        // Either side: the data object is gone, reported on the free side.
        sa_trace.warn_mac(mac, "Can`t find ap info for [%s]", ip->c_str());
        report_free_ap_event("can`t find AP info", *ip, mac);
        return;
    }
    ap->on_check_result(result.verdict, *ip, result.mode, result.fw_result, text_of(result.fw_file),
                        result.check_crt != 0);
}

}  // namespace

void fw_check_result(const IMsg& msg, TrackedAps& tracked) {
    const auto* result = msg_as<IPC_MSG__FW_AP_CHECK_RESULT>(msg);
    if (!result) {
        return;
    }
    const MacAddr mac = mac_of(result->mac);
    if (result->tracked != 0) {
        deliver<TrackedLookup>(*result, mac, tracked);
    } else if (g_unauthed_aps) {
        deliver<UnauthedLookup>(*result, mac, *g_unauthed_aps);
    }
}
