#include "registry/unauthed_aps.h"

#include "controller/ap_events.h"
#include "controller/cert_auth.h"
#include "dialogue/ap_data_unauthorized.h"
#include "libs/trace/trace.h"
#include "platform/globals.h"

UnauthedAps::~UnauthedAps() = default;

AuthResult UnauthedAps::authenticate(const MacAddr& mac, bool by_admin, bool notify) {
    const std::optional<std::string> ip = find_ip(mac);
    if (!ip || ip->empty())
        return AUTH_NOT_FOUND;
    const std::shared_ptr<ApDataUnauthorized> ap = find(*ip);
    if (!ap)
        return AUTH_NOT_FOUND;
    if (ap->state != UnauthedApSaState::WAIT_AUTH)
        return AUTH_NOT_WAITING;

    sa_trace.events_mac(mac, "authenticating AP [%s] %s", ip->c_str(),
                        by_admin ? "by admin" : "auto");
    report_free_ap_event("authenticating", *ip);
    send_cert_auth_ap(*ip, mac);
    if (by_admin) {
        ap->set_join_by_admin();
    } else {
        ap->set_join_auto();
    }
    ap->set_notify_admin(notify);
    return AUTH_STARTED;
}

std::vector<MacAddr> UnauthedAps::authenticate_waiting() {
    std::vector<MacAddr> not_started;
    // authenticate() only changes states and flags, so the walk stays valid.
    for (const auto& [ip, ap] : registry.entries()) {
        const std::optional<MacAddr> mac = find_mac(ip);
        if (!mac)
            sa_trace.warn("AP [%s] in ap_data, but not in ap_mac_to_ip", ip.c_str());

        if (ap->state != UnauthedApSaState::WAIT_AUTH) {
            static constexpr const char* kText =
                "AP [%s] is not waiting authentication: state '%s'";
            const std::string status = status_text(ap->state);
            if (mac) {
                sa_trace.warn_mac(*mac, kText, ip.c_str(), status.c_str());
            } else {
                sa_trace.warn(kText, ip.c_str(), status.c_str());
            }
            report_free_ap_event("AP is not waiting authentication", ip);
            continue;
        }
        if (!mac)
            continue;
        if (authenticate(*mac, true, false) != AUTH_STARTED)
            not_started.push_back(*mac);
    }
    return not_started;
}

bool UnauthedAps::notify_admin(const std::string& ip) const {
    const std::shared_ptr<ApDataUnauthorized> ap = find(ip);
    return ap && ap->notify_admin;
}
