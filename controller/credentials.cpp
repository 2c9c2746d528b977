#include "controller/credentials.h"

#include "controller/ap_events.h"
#include "controller/ipc_fields.h"
#include "dialogue/ap_data_authorized.h"
#include "libs/ipc/messages.h"
#include "libs/trace/trace.h"
#include "platform/globals.h"
#include "registry/tracked_aps.h"

void credentials_delivery(const IMsg& msg, TrackedAps& tracked) {
    const auto* credentials = msg_as<IPC_MSG__SA_CREDENTIALS>(msg);
    if (!credentials) {
        return;
    }
    const std::string& mac_text = text_of(credentials->mac);
    const MacAddr mac = mac_of(credentials->mac);
    const std::string& password = text_of(credentials->password);

    // An invalid MAC would match an AP that sent 00:00:00:00:00:00.
    const auto ip = mac.valid ? tracked.find_ip(mac) : std::nullopt;
    if (!ip) {
        sa_trace.warn_mac(mac, "Unable to find IP address for AP [%s] during credentials setting",
                          mac.str().c_str());
        report_auth_ap_event("can`t find AP ip address", {}, mac);
        return;
    }
    const auto ap = tracked.find(*ip);
    if (!ap) {
        sa_trace.warn_mac(mac, "Unable to find AP info for IP [%s] during credentials setting",
                          ip->c_str());
        report_auth_ap_event("can`t find AP info", *ip, mac);
        return;
    }
    // The MAC is logged as the controller wrote it; the password only here.
    sa_trace.ap_unsecure_mac(mac, "Sending credentials(%r) to AP (%s)", password.c_str(),
                             mac_text.c_str());
    report_auth_ap_event("sending credentials to AP", *ip, mac);
    ap->set_credentials(password);
}
