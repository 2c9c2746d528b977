// The two endpoints side by side: what differs between them, and their thin
// protocol callbacks.

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <optional>
#include <string>

#include "controller/ap_events.h"
#include "dialogue/ap_data_authorized.h"
#include "dialogue/ap_data_unauthorized.h"
#include "dialogue/sa_config.h"
#include "dialogue/sa_reply.h"
#include "https/callbacks.h"
#include "https/client_cert.h"
#include "https/connection_guard.h"
#include "https/counters.h"
#include "https/endpoint.h"
#include "https/fw_download.h"
#include "https/lws_server_authorized.h"
#include "https/tls_backlog.h"
#include "libs/trace/trace.h"
#include "platform/globals.h"
#include "platform/metrics.h"
#include "registry/tracked_aps.h"
#include "registry/unauthed_aps.h"

namespace {

// An authorized AP never waits for authentication: result 4 is an error.
int refuse_auth_waiting(AnswerContext& answer, const std::string& ip) {
    g_tracked_aps->untrack(ip);
    send_error(answer, "internal error", answer.peer_address);
    return -1;
}

int start_authentication(AnswerContext& answer, const std::string& ip) {
    auto ap = g_unauthed_aps->find(ip);
    if (!ap) {
        sa_trace.core("(%s) not tracked!", ip.c_str());
        send_error(answer, "ap not tracked", answer.peer_address);
        return -1;
    }
    if (g_sa_config->auto_auth) {
        if (ap->params) {
            g_unauthed_aps->authenticate(ap->params->mac, false, false);
        }
        sa_trace.events("(%s): auto authenticate is enabled", ip.c_str());
        report_free_ap_event("auto authenticate enabled", ip);
    } else {
        sa_trace.events("(%s): authentication is waiting for the admin command", ip.c_str());
        report_free_ap_event("authentication waiting for admin command", ip);
    }
    send_ok(answer, noted_reply_text());
    return -1;
}

// The authorized endpoint's requests: registration and readiness, which the
// controller answers, and reports, which are noted at once.
bool authorized_path(std::string_view path) {
    return path == "/register/ap" || path == "/ready/ap" || path == "/report/ap";
}

const EndpointSide kAuthSide{
    .name = "AUTHORIZED",
    .ap_kind = "authorized",
    .answer_size = 2048,
    .find = [](const std::string& ip) -> std::shared_ptr<ApDataBase> {
        return g_tracked_aps->find(ip);
    },
    .track = [](const std::string& ip, const std::string& path) { g_tracked_aps->track(ip, path); },
    .untrack = [](const std::string& ip) { g_tracked_aps->untrack(ip); },
    .process_request = [](const std::string& ip) { return g_tracked_aps->process_request(ip); },
    .report = [](const std::string& reason,
                 std::optional<std::string> ip) { report_auth_ap_event(reason, std::move(ip)); },
    .body_untracked_event = "AP not tracked: failed to find AP in tracked APs",
    .body_untracked_answer = "AP not tracked",
    .not_tracked_answer = "AP not tracked",
    .auth_waiting = refuse_auth_waiting,
    .limits_requests = false,
    .knows_path = authorized_path,
    .fw_untracked_event = "AP not tracked",
    .fw_limit_refusal = Refusal::kAuthFwDownloads,
    .fw_limit_text = "upgrading APs limit exceeded",
    .drop_finished_event = nullptr,
    .drop_unfinished_log = "Don't remove registered but not ready AP track [%s]",
    .drop_unfinished_event = "don't remove registered but not ready AP track",
};

const EndpointSide kFreeSide{
    .name = "FREE",
    .ap_kind = "unauthorized",
    .answer_size = 8192,
    .find = [](const std::string& ip) -> std::shared_ptr<ApDataBase> {
        return g_unauthed_aps->find(ip);
    },
    .track = [](const std::string& ip,
                const std::string& path) { g_unauthed_aps->track(ip, path); },
    .untrack = [](const std::string& ip) { g_unauthed_aps->untrack(ip); },
    .process_request = [](const std::string& ip) { return g_unauthed_aps->process_request(ip); },
    .report = [](const std::string& reason,
                 std::optional<std::string> ip) { report_free_ap_event(reason, std::move(ip)); },
    .body_untracked_event = nullptr,
    .body_untracked_answer = "ap not tracked: failed to find AP in unauthed APs",
    .not_tracked_answer = "ap not tracked",
    .auth_waiting = start_authentication,
    .limits_requests = true,
    .knows_path = nullptr,  // the controller's check answers any path
    .fw_untracked_event = "not tracked",
    .fw_limit_refusal = Refusal::kFreeFwDownloads,
    .fw_limit_text = "Upgrading APs limit exceeded",
    .drop_finished_event = "remove AP",
    .drop_unfinished_log = "Clear json AP (%s)",
    .drop_unfinished_event = nullptr,
};

int dummy(lws* wsi, lws_callback_reasons reason, void* user, void* in, size_t len) {
    return lws_callback_http_dummy(wsi, reason, user, in, len);
}

// Every refused handshake ends with a fatal alert from us: one line names the
// peer and the reason, the certificate check's own if it gave one.
void log_tls_refusal(const char* endpoint, const SSL* ssl, int alert) {
    const char* reason = tls_refusal_reason(ssl);
    if (reason == nullptr) {
        const int error = ERR_GET_REASON(ERR_peek_last_error());
        // A client that hangs up has left, not been refused.
        if (error == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
            return;
        }
        const bool no_certificate = alert == SSL_AD_CERTIFICATE_REQUIRED ||
                                    error == SSL_R_PEER_DID_NOT_RETURN_A_CERTIFICATE;
        reason = no_certificate ? "no client certificate" : SSL_alert_desc_string_long(alert);
    }
    sa_trace.warn("%s HTTPS: TLS handshake with %s refused: %s", endpoint, peer_of_ssl(ssl).c_str(),
                  reason);
}

// An AP that gives up on a download says goodbye, then resets the connection
// with the image still unread. Our goodbye would then fail to send, and lws 4.1
// retries it in a busy loop until its time-out, the close and its "failed" line
// five seconds late. The AP has hung up: close without answering.
void on_tls_event(const char* endpoint, const SSL* ssl, int where, int value) {
    metrics_tls_alert_sent(ssl, where, value);
    if ((where & SSL_CB_READ_ALERT) != 0 && (value & 0xff) == SSL_AD_CLOSE_NOTIFY) {
        SSL_set_quiet_shutdown(const_cast<SSL*>(ssl), 1);  // the connection's own, not shared
    }
    if ((where & SSL_CB_HANDSHAKE_DONE) != 0) {
        guard_handshake_done(ssl);
    }
    if ((where & SSL_CB_WRITE_ALERT) != 0 && (value >> 8) == SSL3_AL_FATAL &&
        SSL_is_init_finished(ssl) != 1) {
        log_tls_refusal(endpoint, ssl, value & 0xff);
    }
}

void on_auth_tls_event(const SSL* ssl, int where, int value) {
    on_tls_event("AUTHORIZED", ssl, where, value);
}

void on_free_tls_event(const SSL* ssl, int where, int value) {
    on_tls_event("FREE", ssl, where, value);
}

// APs never resume a session, so tickets and the session cache are pure cost:
// OpenSSL would send two TLS 1.3 tickets per handshake, each copying the AP's
// certificate, and keep up to 20,000 TLS 1.2 sessions.
void tune_server_context(SSL_CTX* ctx, bool has_ca) {
    SSL_CTX_set_num_tickets(ctx, 0);
    SSL_CTX_set_options(ctx, SSL_OP_NO_TICKET);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_info_callback(ctx, has_ca ? on_auth_tls_event : on_free_tls_event);
    SSL_CTX_set_read_ahead(ctx, 1);  // see tls_backlog.h
    // Built once here instead of on every handshake, without the root the AP
    // already holds. A chain the store cannot complete is sent as before; its
    // error must not linger for lws to find.
    if (has_ca && SSL_CTX_build_cert_chain(ctx, SSL_BUILD_CHAIN_FLAG_NO_ROOT) != 1) {
        ERR_clear_error();
    }
}

// Broadcast by lws for every vhost's certificate; `wsi` is a stand-in bound to
// this protocol's vhost.
void on_cert_aging(lws* wsi) {
    if (certificate_out_of_validity(g_sa_config->ca_file) ||
        certificate_out_of_validity(g_sa_config->cert_file)) {
        disable_authorized_endpoint(
            *static_cast<LwsServerAuthorized*>(lws_vhost_user(lws_get_vhost(wsi))));
    }
}

// Protocol switches (WebSocket, h2c) and CONNECT's raw socket would leave the
// request routing, its limits and deadlines behind; an AP never asks for one.
int refuse_switch(const char* endpoint, lws* wsi, const char* what) {
    sa_trace.warn("%s HTTPS: %s from %s refused", endpoint, what, guard_peer(wsi).c_str());
    return -1;
}

// What both vhosts' default protocols do alike; true when `result` is the
// callback's answer.
bool guard_event(EdgeSide side, lws* wsi, lws_callback_reasons reason, void* user, void* in,
                 int& result) {
    const char* endpoint = side == EdgeSide::kAuth ? "AUTHORIZED" : "FREE";
    switch (reason) {
        case LWS_CALLBACK_FILTER_NETWORK_CONNECTION:
            result =
                guard_admit(side, wsi, *static_cast<lws_filter_network_conn_args*>(user)) ? 0 : 1;
            return true;
        case LWS_CALLBACK_WSI_CREATE:
            guard_created(side, wsi);
            tls_backlog_watch(wsi);
            return false;
        case LWS_CALLBACK_WSI_DESTROY:
            guard_destroyed(wsi);
            tls_backlog_forget(wsi);
            return false;
        case LWS_CALLBACK_PROTOCOL_INIT:
            guard_vhost_init(side, wsi);
            return false;
        case LWS_CALLBACK_PROTOCOL_DESTROY:
            guard_vhost_destroy(wsi);
            return false;
        case LWS_CALLBACK_TIMER:
            result = guard_on_timer(wsi) ? -1 : 0;
            return true;
        case LWS_CALLBACK_HTTP_CONFIRM_UPGRADE: {
            const std::string what =
                std::string(in != nullptr ? static_cast<const char*>(in) : "") + " upgrade";
            result = refuse_switch(endpoint, wsi, what.c_str());
            return true;
        }
        case LWS_CALLBACK_RAW_ADOPT:  // CONNECT
            result = refuse_switch(endpoint, wsi, "CONNECT");
            return true;
        default:
            return false;
    }
}

}  // namespace

int auth_filter_callback(lws* wsi, lws_callback_reasons reason, void* user, void* in, size_t len) {
    int result = 0;
    if (guard_event(EdgeSide::kAuth, wsi, reason, user, in, result)) {
        return result;
    }
    switch (reason) {
        case LWS_CALLBACK_FILTER_HTTP_CONNECTION:
            if (firmware_refused(kAuthSide, wsi, user, static_cast<const char*>(in))) {
                return 1;
            }
            break;
        case LWS_CALLBACK_OPENSSL_PERFORM_CLIENT_CERT_VERIFICATION:
            return verify_client_certificate(static_cast<X509_STORE_CTX*>(user),
                                             static_cast<SSL*>(in), static_cast<int>(len));
        case LWS_CALLBACK_OPENSSL_LOAD_EXTRA_SERVER_VERIFY_CERTS:
            tune_server_context(static_cast<SSL_CTX*>(user), true);
            break;
        default:
            break;
    }
    return dummy(wsi, reason, user, in, len);
}

int auth_request_callback(lws* wsi, lws_callback_reasons reason, void* user, void* in, size_t len) {
    if (reason == LWS_CALLBACK_VHOST_CERT_AGING) {
        on_cert_aging(wsi);
        return dummy(wsi, reason, user, in, len);
    }
    return request_callback(kAuthSide, wsi, reason, user, in, len);
}

int auth_fw_download_callback(lws* wsi, lws_callback_reasons reason, void* user, void* in,
                              size_t len) {
    return fw_download(kAuthSide, wsi, reason, user, in, len);
}

int free_filter_callback(lws* wsi, lws_callback_reasons reason, void* user, void* in, size_t len) {
    int result = 0;
    if (guard_event(EdgeSide::kFree, wsi, reason, user, in, result)) {
        return result;
    }
    switch (reason) {
        case LWS_CALLBACK_FILTER_HTTP_CONNECTION:
            if (firmware_refused(kFreeSide, wsi, user, static_cast<const char*>(in))) {
                return 1;
            }
            break;
        case LWS_CALLBACK_OPENSSL_LOAD_EXTRA_SERVER_VERIFY_CERTS:
            tune_server_context(static_cast<SSL_CTX*>(user), false);
            break;
        default:
            break;
    }
    return dummy(wsi, reason, user, in, len);
}

int free_request_callback(lws* wsi, lws_callback_reasons reason, void* user, void* in, size_t len) {
    return request_callback(kFreeSide, wsi, reason, user, in, len);
}

int free_fw_download_callback(lws* wsi, lws_callback_reasons reason, void* user, void* in,
                              size_t len) {
    return fw_download(kFreeSide, wsi, reason, user, in, len);
}
