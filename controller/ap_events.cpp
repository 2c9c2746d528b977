#include "controller/ap_events.h"

#include <memory>

#include "dialogue/ap_data_authorized.h"
#include "dialogue/ap_data_unauthorized.h"
#include "libs/ipc/ipc_port.h"
#include "libs/ipc/messages.h"
#include "platform/globals.h"
#include "platform/metrics.h"
#include "registry/tracked_aps.h"
#include "registry/unauthed_aps.h"

namespace {

// Everything that differs between the two reporters.
struct AuthSide {
    static constexpr const char* kPrefix = "SA_AUTH: ";
    static TrackedAps* registry() { return g_tracked_aps; }
    static uint32_t code(ApRequestState state) {
        switch (state) {
            case REQ_READY:
                return 4;
            case REQ_FW_DECIDED:
                return 5;
            default:
                return 0;
        }
    }
};

struct FreeSide {
    static constexpr const char* kPrefix = "SA_FREE: ";
    static UnauthedAps* registry() { return g_unauthed_aps; }
    static uint32_t code(UnauthedApSaState state) {
        switch (state) {
            case WAIT_AUTH:
                return 1;
            case JOIN_BY_ADMIN:
                return 2;
            case JOIN_AUTO:
                return 3;
            case UPGRADING_FW:
                return 5;
            default:
                return 0;
        }
    }
};

template <class Side>
void report_event(std::string reason, std::optional<std::string> ip, std::optional<MacAddr> mac,
                  std::optional<std::string> device_type, std::optional<std::string> sw_version) {
    reason.insert(0, Side::kPrefix);
    auto* registry = Side::registry();
    if (!ip && mac && registry) {
        ip = registry->find_ip(*mac);
    }
    if (!mac) {
        mac = MacAddr::from_str("FF:FF:FF:FF:FF:FF");
    }
    uint32_t code = 0;
    if (ip && registry) {
        if (auto ap = registry->find(*ip)) {
            // The AP's own record beats what the caller happened to have.
            if (ap->params) {
                device_type = ap->params->device_type;
                sw_version = ap->params->sw_version;
                mac = ap->params->mac;
            }
            code = Side::code(ap->state);
        }
    }
    send_ap_event(*mac, code, reason, ip, device_type, sw_version);
}

SharedString text_or_empty(const std::optional<std::string>& text) {
    return make_shared_string(text.value_or(std::string()));
}

}  // namespace

void report_auth_ap_event(std::string reason, std::optional<std::string> ip,
                          std::optional<MacAddr> mac, std::optional<std::string> device_type,
                          std::optional<std::string> sw_version) {
    report_event<AuthSide>(std::move(reason), std::move(ip), mac, std::move(device_type),
                           std::move(sw_version));
}

void report_free_ap_event(std::string reason, std::optional<std::string> ip,
                          std::optional<MacAddr> mac, std::optional<std::string> device_type,
                          std::optional<std::string> sw_version) {
    report_event<FreeSide>(std::move(reason), std::move(ip), mac, std::move(device_type),
                           std::move(sw_version));
}

void send_ap_event(const MacAddr& mac, uint32_t code, const std::string& reason,
                   const std::optional<std::string>& ip,
                   const std::optional<std::string>& device_type,
                   const std::optional<std::string>& sw_version) {
    if (!g_ipc_port) {
        return;
    }
    auto msg = std::make_shared<IPC_MSG__SA_AP_EVENT>();
    msg->mac = make_shared_string(mac.str());
    msg->code = code;
    msg->device_type = text_or_empty(device_type);
    msg->sw_version = text_or_empty(sw_version);
    msg->ip = text_or_empty(ip);
    msg->reason = make_shared_string(reason);
    // Events are informative; a lost one is not worth a log line.
    if (g_ipc_port->send(std::move(msg)) == IPC_OK) {
        metrics_event_sent(code);
    }
}

void send_ap_reg_timeout(const MacAddr& mac) {
    if (!g_ipc_port) {
        return;
    }
    auto msg = std::make_shared<IPC_MSG__SA_AP_REG_TIMEOUT>();
    msg->mac = make_shared_string(mac.str());
    g_ipc_port->send(std::move(msg));
}
