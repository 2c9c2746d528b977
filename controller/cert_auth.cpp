#include "controller/cert_auth.h"

#include <memory>

#include "libs/ipc/ipc_port.h"
#include "libs/ipc/messages.h"
#include "libs/trace/trace.h"
#include "platform/globals.h"

void send_cert_auth_ap(const std::string& ip, const MacAddr& mac) {
    auto msg = std::make_shared<IPC_MSG__SA_CERT_AUTH_AP>();
    msg->ip = make_shared_string(ip);
    msg->mac = make_shared_string(mac.str());
    if (!g_ipc_port || g_ipc_port->send(std::move(msg)) != IPC_OK) {
        sa_trace.error_mac(mac, "Can't send SA_CERT_AUTH_AP");
    }
}
