#include "controller/auth_ap_request.h"

#include <memory>

#include "controller/cert_auth.h"
#include "controller/ipc_fields.h"
#include "libs/ipc/ipc_port.h"
#include "libs/ipc/messages.h"
#include "libs/trace/trace.h"
#include "platform/cfg_ptr.h"
#include "platform/globals.h"
#include "registry/unauthed_aps.h"

namespace {

constexpr const char* kAllStarted = R"({"status":"success"})";
constexpr const char* kNoTree = R"({"status":"failure", "cause":"can't get empty cfg"})";

std::string failure_text(const std::string& cause) {
    CfgTree tree(cfg_get_empty());
    if (!tree) {
        return kNoTree;
    }
    cfg_set_param(tree.get(), "status", "failure");
    cfg_set_param(tree.get(), "cause", cause.c_str());
    const char* text = cfg_serialize_compact(tree.get());
    return text ? text : kNoTree;
}

void send_reply(IpcPort& port, std::string text) {
    auto reply = std::make_shared<IPC_MSG__AUTH_AP_RESP>();
    reply->text = make_shared_string(std::move(text));
    if (port.reply(std::move(reply)) != IPC_OK) {
        sa_trace.error("Can't send SA_AUTHENTICATE_AP_RESP");
    }
}

}  // namespace

std::string auth_all_reply_text(const std::vector<MacAddr>& not_started) {
    if (not_started.empty()) {
        return kAllStarted;
    }
    std::string cause = "can't auth: ";
    for (size_t i = 0; i < not_started.size(); ++i) {
        if (i > 0) {
            cause += ", ";
        }
        cause += not_started[i].str();
    }
    return failure_text(cause);
}

void authenticate_ap_request(const IMsg& msg, IpcPort& port) {
    const auto* request = msg_as<IPC_MSG__AUTH_AP>(msg);
    if (!request || !g_unauthed_aps) {
        return;
    }
    UnauthedAps& unauthed = *g_unauthed_aps;
    if (text_of(request->target) == "all") {
        send_reply(port, auth_all_reply_text(unauthed.authenticate_waiting()));
        return;
    }
    const MacAddr mac = mac_of(request->target);
    // An invalid MAC would match an AP that sent 00:00:00:00:00:00.
    const AuthResult result = mac.valid ? unauthed.authenticate(mac, true, true) : AUTH_NOT_FOUND;
    if (result == AUTH_STARTED) {
        // The certificate result answers, and only to whoever asked.
        remember_admin_request(unauthed.find_ip(mac).value_or(""), port.current_peer());
        return;
    }
    send_reply(port, failure_text(result == AUTH_NOT_FOUND ? "not found AP"
                                                           : "AP is not waiting authentication"));
}
