#include "dialogue/ap_data.h"

#include "libs/ipc/ipc_port.h"
#include "libs/ipc/messages.h"
#include "platform/globals.h"
#include "platform/metrics.h"

void send_fw_ap_check(const MacAddr& mac, const std::string& device_type, const std::string& ip,
                      const std::string& sw_version, uint32_t kind, bool authorized) {
    if (!g_ipc_port) {
        return;
    }
    auto msg = std::make_shared<IPC_MSG__FW_AP_CHECK>();
    msg->mac = make_shared_string(mac.str());
    msg->device_type = make_shared_string(device_type);
    msg->ip = make_shared_string(ip);
    msg->sw_version = make_shared_string(sw_version);
    msg->kind = kind;
    msg->authorized = authorized;
    // A lost check leaves the request pending until the AP's entry expires.
    if (g_ipc_port->send(std::move(msg)) == IPC_OK) {
        metrics_answer_awaited(Exchange::FW_CHECK, mac);
    }
}

void send_get_credentials(const MacAddr& mac, const std::string& device_type,
                          const std::string& sw_version, const std::string& ip) {
    if (!g_ipc_port) {
        return;
    }
    auto msg = std::make_shared<IPC_MSG__SA_GET_CREDENTIALS>();
    msg->mac = make_shared_string(mac.str());
    msg->device_type = make_shared_string(device_type);
    msg->sw_version = make_shared_string(sw_version);
    msg->ip = make_shared_string(ip);
    if (g_ipc_port->send(std::move(msg)) == IPC_OK) {
        metrics_answer_awaited(Exchange::CREDENTIALS, mac);
    }
}
