#include "controller/cert_auth.h"

#include <cstdint>
#include <iterator>
#include <map>
#include <memory>

#include "controller/ap_events.h"
#include "controller/ipc_fields.h"
#include "libs/ipc/ipc_port.h"
#include "libs/ipc/messages.h"
#include "libs/trace/trace.h"
#include "platform/cfg_ptr.h"
#include "platform/globals.h"
#include "platform/metrics.h"
#include "registry/unauthed_aps.h"

namespace {

// The certificate service's error results, 1 to 3.
struct CertFailure {
    const char* log;     // for the AP's address
    const char* reason;  // event
    const char* cause;   // to the administrator
};
constexpr CertFailure kFailures[] = {
    {"AP [%s] authentication error: failed to connect AP",
     "AP authentication error: failed to connect AP", "failed to connect AP"},
    {"AP [%s] authentication error: can't generate AP certificate",
     "AP authentication error: can't generate AP certificate", "can't generate AP certificate"},
    {"AP [%s] authentication error: SA_CERT sent unknown error code",
     "AP authentication error: SA_CERT sent unknown error code", "SA_CERT sent unknown error code"},
};
constexpr uint32_t kSuccess = 0;

const CertFailure* failure_of(uint32_t result) {
    if (result == kSuccess || result > std::size(kFailures)) {
        return nullptr;
    }
    return &kFailures[result - 1];
}

// Unlike the other authentication replies, this text has blanks after the colons.
constexpr const char* kNoTree = R"({"status": "failure", "cause": "can't get empty cfg"})";

std::string admin_reply_text(uint32_t result, const MacAddr& mac) {
    CfgTree tree(cfg_get_empty());
    if (!tree) {
        sa_trace.error_mac(mac, "%s can't create config", "sa_cert_auth_ap_resp_cb");
        return kNoTree;
    }
    if (result == kSuccess) {
        cfg_set_param(tree.get(), "status", "success");
    } else if (const CertFailure* failure = failure_of(result)) {
        cfg_set_param(tree.get(), "status", "failure");
        cfg_set_param(tree.get(), "cause", failure->cause);
    }
    const char* text = cfg_serialize_compact(tree.get());
    return text ? text : kNoTree;
}

// By the AP's address, like the registry's flag that says an answer is owed.
std::map<std::string, PeerRef>& admin_requests() {
    static std::map<std::string, PeerRef> requests;
    return requests;
}

PeerRef take_admin_request(const std::string& ip) {
    auto& requests = admin_requests();
    const auto found = requests.find(ip);
    if (found == requests.end()) {
        return kNoPeer;
    }
    const PeerRef peer = found->second;
    requests.erase(found);
    return peer;
}

}  // namespace

void remember_admin_request(const std::string& ip, PeerRef peer) {
    auto& requests = admin_requests();
    // APs that left without a certificate result owe nobody an answer any more.
    std::erase_if(requests, [](const auto& entry) {
        return !g_unauthed_aps || !g_unauthed_aps->notify_admin(entry.first);
    });
    requests[ip] = peer;
}

void send_cert_auth_ap(const std::string& ip, const MacAddr& mac) {
    auto msg = std::make_shared<IPC_MSG__SA_CERT_AUTH_AP>();
    msg->ip = make_shared_string(ip);
    msg->mac = make_shared_string(mac.str());
    if (!g_ipc_port || g_ipc_port->send(std::move(msg)) != IPC_OK) {
        sa_trace.error_mac(mac, "Can't send SA_CERT_AUTH_AP");
        return;
    }
    metrics_answer_awaited(Exchange::CERT_AUTH, mac);
}

void cert_auth_result(const IMsg& msg, IpcPort& port) {
    const auto* result = msg_as<IPC_MSG__SA_CERT_AUTH_AP_RESULT>(msg);
    if (!result) {
        return;
    }
    const MacAddr mac = mac_of(result->mac);
    const std::string& ip = text_of(result->ip);
    if (const CertFailure* failure = failure_of(result->result)) {
        sa_trace.error_mac(mac, failure->log, ip.c_str());
        report_free_ap_event(failure->reason, ip);
    }
    // Read before the entry, and its flag, go away.
    const bool notify = g_unauthed_aps && g_unauthed_aps->notify_admin(ip);
    const PeerRef requester = take_admin_request(ip);
    sa_trace.events_mac(mac, "removed AP [%s] from unauthorized", ip.c_str());
    report_free_ap_event("AP removed from unauthed", ip);
    if (g_unauthed_aps) {
        g_unauthed_aps->untrack(ip);
    }
    if (!notify) {
        return;
    }
    auto reply = std::make_shared<IPC_MSG__AUTH_AP_RESP>();
    reply->text = make_shared_string(admin_reply_text(result->result, mac));
    if (port.send_to(requester, std::move(reply)) != IPC_OK) {
        sa_trace.error_mac(mac, "Can't send SA_AUTHENTICATE_AP_RESP");
    }
}
