#include "app/dispatcher.h"

#include <array>
#include <ctime>
#include <memory>
#include <string>

#include "app/service_queries.h"
#include "app/service_settings.h"
#include "app/status.h"
#include "controller/auth_ap_request.h"
#include "controller/cert_auth.h"
#include "controller/credentials.h"
#include "controller/fw_check_result.h"
#include "controller/ipc_fields.h"
#include "controller/mac_filter.h"
#include "dialogue/sa_config.h"
#include "https/lws_server_authorized.h"
#include "https/lws_server_free.h"
#include "libs/common/incoming_connections.h"
#include "libs/common/mac_filter_config.h"
#include "libs/ipc/ipc_port.h"
#include "libs/ipc/messages.h"
#include "libs/trace/trace.h"
#include "platform/globals.h"
#include "platform/metrics.h"
#include "registry/tracked_aps.h"
#include "registry/unauthed_aps.h"

namespace {

// What a handler may act on besides the process-wide objects.
struct Context {
    IpcPort& port;
    TrackedAps* tracked;
};

Servers servers() {
    return {g_free_server, g_auth_server};
}

void on_credentials(const IPC_MSG__SA_CREDENTIALS& msg, Context& ctx) {
    metrics_answer_received(Exchange::CREDENTIALS, metrics_mac_key(mac_of(msg.mac)));
    if (ctx.tracked) {
        credentials_delivery(msg, *ctx.tracked);
    }
}

void on_fw_check_result(const IPC_MSG__FW_AP_CHECK_RESULT& msg, Context& ctx) {
    metrics_answer_received(Exchange::FW_CHECK, metrics_mac_key(mac_of(msg.mac)));
    if (ctx.tracked) {
        fw_check_result(msg, *ctx.tracked);
    }
}

void on_stop(const IPC_MSG__STOP&, Context& ctx) {
    ctx.port.finalize();
}

void on_set_send_and_recv(const IPC_MSG__SET_SEND_AND_RECV&, Context& ctx) {
    ctx.port.set_SendAndRecv();
}

void on_report(const IPC_MSG__SA_REPORT_REQ&, Context& ctx) {
    if (!g_sa_config) {
        return;
    }
    auto reply = std::make_shared<IPC_MSG__SA_REPORT_RESP>();
    reply->text = make_shared_string(service_report_text(*g_sa_config));
    ctx.port.reply(std::move(reply));
}

void on_tz_update(const IPC_MSG__TZ_UPDATE&, Context&) {
    sa_trace.sys("Force update tzset");
    tzset();
}

void on_mac_filter(const IPC_MSG__MAC_FILTER& msg, Context& ctx) {
    mac_filter_command(msg, sa_trace, ctx.port);
}

void on_mac_filter_config(const IPC_MSG__MAC_FILTER_CONFIG& msg, Context&) {
    mac_filter_config(msg, sa_trace);
}

void on_auth_ap(const IPC_MSG__AUTH_AP& msg, Context& ctx) {
    authenticate_ap_request(msg, ctx.port);
}

void on_ap_list(const IPC_MSG__SA_GET_APS&, Context& ctx) {
    if (!ctx.tracked || !g_unauthed_aps) {
        return;
    }
    auto reply = std::make_shared<IPC_MSG__SA_GET_APS_RESP>();
    reply->aps = collect_ap_list(*ctx.tracked, *g_unauthed_aps);
    ctx.port.reply(std::move(reply));
}

void on_ports(const IPC_MSG__SA_PORTS& msg, Context&) {
    if (g_sa_config) {
        apply_ports(*g_sa_config, servers(), msg.base_port, msg.auto_auth != 0);
    }
}

void on_fw_dir(const IPC_MSG__SA_FW_DIR& msg, Context&) {
    if (g_sa_config) {
        g_sa_config->set_fw_dir(text_of(msg.dir));
    }
}

void on_tls_files(const IPC_MSG__SA_TLS_FILES& msg, Context&) {
    if (g_sa_config) {
        apply_tls_files(*g_sa_config, servers(), text_of(msg.ca_file), text_of(msg.key_file),
                        text_of(msg.cert_file), text_of(msg.ap_cert_dir));
    }
}

void on_cert_auth_result(const IPC_MSG__SA_CERT_AUTH_AP_RESULT& msg, Context& ctx) {
    metrics_answer_received(Exchange::CERT_AUTH, metrics_mac_key(mac_of(msg.mac)));
    cert_auth_result(msg, ctx.port);
}

// Ports, auto-authentication, admission mode and the firmware directory stay.
void on_reset(const IPC_MSG__SA_RESET&, Context& ctx) {
    if (ctx.tracked) {
        ctx.tracked->clear();
    }
    if (g_unauthed_aps) {
        g_unauthed_aps->clear();
    }
    if (g_sa_config) {
        g_sa_config->clear_tls_files();
    }
}

void on_incoming_connections(const IPC_MSG__INCOMING_CONNECTIONS& msg, Context&) {
    if (g_sa_config) {
        apply_incoming_connections(*g_sa_config, servers(), msg.mode);
    }
}

void on_mac_list(const IPC_MSG__SA_AP_MACLIST&, Context& ctx) {
    if (!ctx.tracked || !g_unauthed_aps) {
        return;
    }
    auto reply = std::make_shared<IPC_MSG__SA_AP_MACLIST_RESP>();
    reply->text = make_shared_string(mac_list_text(*ctx.tracked, *g_unauthed_aps));
    ctx.port.reply(std::move(reply));
}

// Texts in audit lines come from the sender; a line stays readable whatever it sent.
constexpr size_t kAuditTextMax = 200;

std::string shown(const SharedString& text) {
    if (!text) {
        return "<nil>";
    }
    if (text->size() <= kAuditTextMax) {
        return '"' + *text + '"';
    }
    return '"' + text->substr(0, kAuditTextMax) + "\"...";
}

// What an administrator's command asks, for the audit line; empty: not audited.
std::string audit_auth_ap(const IPC_MSG__AUTH_AP& msg) {
    return "authenticate AP " + shown(msg.target);
}

std::string audit_mac_filter(const IPC_MSG__MAC_FILTER& msg) {
    switch (msg.action) {
        case MAC_FILTER_ENABLE:
            return "trace MAC filter on";
        case MAC_FILTER_DISABLE:
            return "trace MAC filter off";
        case MAC_FILTER_ADD:
            return "trace MAC filter add " + shown(msg.macs);
        case MAC_FILTER_REMOVE:
            return "trace MAC filter remove " + shown(msg.macs);
        case MAC_FILTER_CLEAR:
            return "trace MAC filter clear";
        default:
            return {};  // queries change nothing
    }
}

std::string audit_mac_filter_config(const IPC_MSG__MAC_FILTER_CONFIG& msg) {
    return "trace MAC filter set " + std::string(msg.enabled != 0 ? "on " : "off ") +
           shown(msg.macs);
}

std::string audit_stop(const IPC_MSG__STOP&) {
    return "stop";
}

std::string audit_reset(const IPC_MSG__SA_RESET&) {
    return "reset";
}

std::string audit_send_and_recv(const IPC_MSG__SET_SEND_AND_RECV&) {
    return "send-and-receive mode";
}

std::string audit_ports(const IPC_MSG__SA_PORTS& msg) {
    return "ports " + std::to_string(msg.base_port) + ", auto-authentication " +
           (msg.auto_auth != 0 ? "on" : "off");
}

std::string audit_fw_dir(const IPC_MSG__SA_FW_DIR& msg) {
    return "firmware directory " + shown(msg.dir);
}

std::string audit_tls_files(const IPC_MSG__SA_TLS_FILES& msg) {
    return "TLS files ca " + shown(msg.ca_file) + " key " + shown(msg.key_file) + " cert " +
           shown(msg.cert_file) + " AP certificates " + shown(msg.ap_cert_dir);
}

std::string audit_incoming(const IPC_MSG__INCOMING_CONNECTIONS& msg) {
    return "incoming connections " + IncomingConnectionsToStrX(msg.mode);
}

void audit(uint32_t type, const std::string& what, const IpcPort& port) {
    if (!what.empty()) {
        sa_trace.sys("Administrator command %u (%s) from %s", type, what.c_str(),
                     port.describe_peer(port.current_peer()).c_str());
    }
}

// False when the message is not of the class its type number names.
using Handler = bool (*)(const IMsg& msg, Context& ctx);

template <class M>
using Audit = std::string (*)(const M&);

template <class M, void (*Fn)(const M&, Context&), Audit<M> Describe = nullptr>
bool call(const IMsg& msg, Context& ctx) {
    const M* typed = msg_as<M>(msg);
    if (!typed) {
        return false;
    }
    // Before the handler: a stop ends the loop, a failing command may not return.
    if constexpr (Describe != nullptr) {
        audit(M::kType, Describe(*typed), ctx.port);
    }
    Fn(*typed, ctx);
    return true;
}

struct Row {
    uint32_t type;
    Handler handler;
};

template <class M, void (*Fn)(const M&, Context&), Audit<M> Describe = nullptr>
constexpr Row row() {
    return {M::kType, call<M, Fn, Describe>};
}

// The types the service takes, in the controller's order of the table.
constexpr Row kRows[] = {
    row<IPC_MSG__SA_CREDENTIALS, on_credentials>(),
    row<IPC_MSG__FW_AP_CHECK_RESULT, on_fw_check_result>(),
    row<IPC_MSG__STOP, on_stop, audit_stop>(),
    row<IPC_MSG__SET_SEND_AND_RECV, on_set_send_and_recv, audit_send_and_recv>(),
    row<IPC_MSG__SA_REPORT_REQ, on_report>(),
    row<IPC_MSG__TZ_UPDATE, on_tz_update>(),
    row<IPC_MSG__MAC_FILTER, on_mac_filter, audit_mac_filter>(),
    row<IPC_MSG__MAC_FILTER_CONFIG, on_mac_filter_config, audit_mac_filter_config>(),
    row<IPC_MSG__AUTH_AP, on_auth_ap, audit_auth_ap>(),
    row<IPC_MSG__SA_GET_APS, on_ap_list>(),
    row<IPC_MSG__SA_PORTS, on_ports, audit_ports>(),
    row<IPC_MSG__SA_FW_DIR, on_fw_dir, audit_fw_dir>(),
    row<IPC_MSG__SA_TLS_FILES, on_tls_files, audit_tls_files>(),
    row<IPC_MSG__SA_CERT_AUTH_AP_RESULT, on_cert_auth_result>(),
    row<IPC_MSG__SA_RESET, on_reset, audit_reset>(),
    row<IPC_MSG__INCOMING_CONNECTIONS, on_incoming_connections, audit_incoming>(),
    row<IPC_MSG__SA_AP_MACLIST, on_mac_list>(),
};

constexpr size_t kTableSize = 256;

constexpr std::array<Handler, kTableSize> make_table() {
    std::array<Handler, kTableSize> table{};
    for (const Row& row : kRows) {
        // A type listed twice would silently lose its first handler.
        if (row.type >= kTableSize || table[row.type] != nullptr) {
            throw "bad dispatch row";
        }
        table[row.type] = row.handler;
    }
    return table;
}

constexpr std::array<Handler, kTableSize> kTable = make_table();

}  // namespace

Error dispatch_ipc_message(const IMsg& msg, IpcPort& port, void* user) {
    const uint32_t type = msg.get_type();
    const Handler handler = type < kTableSize ? kTable[type] : nullptr;
    Context ctx{port, static_cast<TrackedAps*>(user)};
    if (type >= kIpcExtensionFirst && handle_extension_message(msg, port, servers())) {
        return DISPATCH_HANDLED;
    }
    if (handler == nullptr || !handler(msg, ctx)) {
        sa_trace.warn("Uncatched");
        return DISPATCH_UNCATCHED;
    }
    return DISPATCH_HANDLED;
}
