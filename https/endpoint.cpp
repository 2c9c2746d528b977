#include "https/endpoint.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "dialogue/ap_data.h"
#include "dialogue/sa_reply.h"
#include "https/connection_guard.h"
#include "https/counters.h"
#include "https/lws_server_base.h"
#include "libs/trace/trace.h"
#include "platform/globals.h"
#include "platform/metrics.h"
#include "registry/ap_request.h"

namespace {

constexpr char kJson[] = "application/json";
constexpr size_t kJsonLength = sizeof(kJson) - 1;
// Answer buffer of the larger side; each side ends its room at its own size.
constexpr size_t kMaxAnswerSize = 8192;
// process_request: the AP's data object failed internally.
constexpr int kInternalError = 6;
// A step's result that stands for lws_callback_http_dummy's.
constexpr int kDummyResult = std::numeric_limits<int>::min();

LwsServerBase& server_of(lws* wsi) {
    return *static_cast<LwsServerBase*>(lws_vhost_user(lws_get_vhost(wsi)));
}

// The locals of one callback invocation: its answer buffer and the peer. The
// peer is copied because an answer may end the request and free `user`.
struct Request {
    Request(const EndpointSide& side, lws* wsi, void* user)
        : side(side),
          wsi(wsi),
          peer_address(static_cast<char*>(user)),
          ip(peer_address != nullptr
                 ? std::string(peer_address, strnlen(peer_address, kPeerAddressSize))
                 : std::string()) {}

    AnswerContext answer() { return AnswerContext{wsi, p, start, end, ip.c_str()}; }
    int error(std::string_view text, const char* peer) {
        AnswerContext ctx = answer();
        send_error(ctx, text, peer);
        return -1;
    }
    int error(std::string_view text) { return error(text, ip.c_str()); }
    int ok(std::string_view body) {
        AnswerContext ctx = answer();
        send_ok(ctx, body);
        return -1;
    }

    const EndpointSide& side;
    lws* wsi;
    char* peer_address;
    std::string ip;
    unsigned char buffer[LWS_PRE + kMaxAnswerSize];
    unsigned char* start = buffer + LWS_PRE;
    unsigned char* p = start;
    unsigned char* end = buffer + side.answer_size - 1;
};

int dummy(lws* wsi, lws_callback_reasons reason, void* user, void* in, size_t len) {
    return lws_callback_http_dummy(wsi, reason, user, in, len);
}

int on_new_request(Request& r, const char* in) {
    const size_t copy_size = LWS_PRE + r.side.answer_size;
    const std::string path = in != nullptr ? std::string(in, strnlen(in, copy_size - 1)) : "";
    if (lws_get_peer_simple(r.wsi, r.peer_address, kPeerAddressSize) == nullptr) {
        sa_trace.error("Unable to obtain IP address of AP during connection handling: %s",
                       std::strerror(errno));
        return r.error("internal error", "unknown");
    }
    r.ip = r.peer_address;
    sa_trace.ap("%s HTTPS: connection %s, path %s", r.side.name, r.ip.c_str(), path.c_str());
    metrics_request(r.side.name, path);

    char* text = reinterpret_cast<char*>(r.buffer);
    if (lws_hdr_total_length(r.wsi, WSI_TOKEN_HTTP_CONTENT_TYPE) != kJsonLength) {
        return r.error("ap not tracked: invalid content-type");
    }
    if (lws_hdr_copy(r.wsi, text, kJsonLength + 1, WSI_TOKEN_HTTP_CONTENT_TYPE) < 0 ||
        std::strncmp(text, kJson, kJsonLength) != 0) {
        return r.error("ap not tracked: content-type not json");
    }
    const int length_text = lws_hdr_total_length(r.wsi, WSI_TOKEN_HTTP_CONTENT_LENGTH);
    if (length_text < 1 || static_cast<size_t>(length_text) > kMaxContentLengthText ||
        lws_hdr_copy(r.wsi, text, static_cast<int>(copy_size), WSI_TOKEN_HTTP_CONTENT_LENGTH) < 0 ||
        !content_length_acceptable(text)) {
        return r.error("ap not tracked: invalid content length");
    }
    // An unknown path would wait for an answer that never comes, and hold an
    // entry until it expires.
    if (r.side.knows_path != nullptr && !r.side.knows_path(path)) {
        return r.error("ap not tracked: unknown path");
    }
    sa_trace.ap("got json body len (%ld)", std::strtol(text, nullptr, 10));
    r.side.track(r.ip, path);
    return 0;
}

int on_body(Request& r, const char* in, size_t len) {
    auto ap = r.side.find(r.ip);
    if (!ap) {
        sa_trace.error("(%s) not tracked!", r.ip.c_str());
        if (r.side.body_untracked_event != nullptr) {
            r.side.report(r.side.body_untracked_event, r.ip);
        }
        return r.error(r.side.body_untracked_answer);
    }
    // Several connections from one address feed the same body.
    if (ap->body.size() + len > kMaxRequestBody) {
        return r.error("ap not tracked: invalid content length");
    }
    ap->body.append(in, len);
    return kDummyResult;
}

int on_body_complete(Request& r) {
    guard_request_received(r.wsi);
    const EndpointSide& side = r.side;
    const char* ip = r.ip.c_str();
    switch (side.process_request(r.ip)) {
        case NOT_TRACKED:
            sa_trace.error("(%s) not tracked!", ip);
            side.report("AP not tracked", r.ip);
            return r.error(side.not_tracked_answer);
        case BAD_JSON:
            sa_trace.error("client json parsing error");
            side.report("client json parsing error", r.ip);
            side.untrack(r.ip);
            return r.error("client json parsing error");
        case NO_MAC_IP_PAIR:
            sa_trace.error("(%s) can't assign MAC-IP pair!", ip);
            side.report("can't assign MAC-IP pair", r.ip);
            side.untrack(r.ip);
            return r.error("can't assign MAC-IP pair");
        case REPORT:
            sa_trace.ap("client reporting error");
            side.report("client reporting error", r.ip);
            return r.ok(noted_reply_text());
        case AUTH_WAITING: {
            AnswerContext ctx = r.answer();
            return side.auth_waiting(ctx, r.ip);
        }
        case ANSWER_PENDING:
            lws_callback_on_writable(r.wsi);
            return 0;
        case kInternalError:
            side.untrack(r.ip);
            return r.error("internal error");
        default:
            return kDummyResult;
    }
}

int on_writeable(Request& r) {
    auto ap = r.side.find(r.ip);
    if (!ap) {
        sa_trace.core("(%s) not tracked!", r.ip.c_str());
        r.side.report("AP not tracked", r.ip);
        return r.error("ap not tracked");
    }
    if (ap->reply.text) {
        const std::shared_ptr<std::string> text = std::move(ap->reply.text);
        return r.ok(text->c_str());
    }
    // Armed again by the main loop once an answer may have been built.
    server_of(r.wsi).wait_for_answer(r.wsi);
    return 0;
}

bool on_bind(Request& r) {
    switch (guard_take_request_slot(r.wsi)) {
        case SlotVerdict::kTaken:
            return true;
        case SlotVerdict::kAllTaken:
            r.side.report("certificate generating APs limit exceeded", std::nullopt);
            return false;
        case SlotVerdict::kAddressHoldsTooMany:
            return false;
    }
    return false;
}

void on_drop(Request& r) {
    server_of(r.wsi).forget(r.wsi);
    guard_release_request_slot(r.wsi);
    auto ap = r.side.find(r.ip);
    if (!ap) {
        return;
    }
    if (ap->is_finished()) {
        sa_trace.core("Remove AP (%s)", r.ip.c_str());
        if (r.side.drop_finished_event != nullptr) {
            r.side.report(r.side.drop_finished_event, r.ip);
        }
        r.side.untrack(r.ip);
        return;
    }
    ap->body.clear();
    sa_trace.core(r.side.drop_unfinished_log, r.ip.c_str());
    if (r.side.drop_unfinished_event != nullptr) {
        r.side.report(r.side.drop_unfinished_event, r.ip);
    }
}

bool is_quiet(lws_callback_reasons reason) {
    switch (reason) {
        case LWS_CALLBACK_CLOSED_HTTP:
        case LWS_CALLBACK_PROTOCOL_INIT:
        case LWS_CALLBACK_PROTOCOL_DESTROY:
        case LWS_CALLBACK_ADD_POLL_FD:
        case LWS_CALLBACK_DEL_POLL_FD:
        case LWS_CALLBACK_CHANGE_MODE_POLL_FD:
        case LWS_CALLBACK_LOCK_POLL:
        case LWS_CALLBACK_UNLOCK_POLL:
        case LWS_CALLBACK_HTTP_BIND_PROTOCOL:
        case LWS_CALLBACK_CHECK_ACCESS_RIGHTS:
        case LWS_CALLBACK_EVENT_WAIT_CANCELLED:
        case LWS_CALLBACK_VHOST_CERT_AGING:
            return true;
        default:
            return false;
    }
}

void log_uncatched(lws_callback_reasons reason, void* user, void* in, size_t len) {
    sa_trace.ap(":: UNCATCHED EVENT: %d, %p, %p, %zu", static_cast<int>(reason), user, in, len);
    if (in != nullptr && len != 0) {
        sa_trace.ap(":: %s(%zu)", static_cast<const char*>(in), len);
    }
}

}  // namespace

int request_callback(const EndpointSide& side, lws* wsi, lws_callback_reasons reason, void* user,
                     void* in, size_t len) {
    int result = kDummyResult;
    switch (reason) {
        case LWS_CALLBACK_HTTP_BIND_PROTOCOL:
            if (side.limits_requests) {
                Request r(side, wsi, user);
                if (!on_bind(r)) {
                    return 1;
                }
            }
            break;
        case LWS_CALLBACK_HTTP: {
            Request r(side, wsi, user);
            return on_new_request(r, static_cast<const char*>(in));
        }
        case LWS_CALLBACK_HTTP_BODY: {
            Request r(side, wsi, user);
            result = on_body(r, static_cast<const char*>(in), len);
            break;
        }
        case LWS_CALLBACK_HTTP_BODY_COMPLETION: {
            Request r(side, wsi, user);
            result = on_body_complete(r);
            break;
        }
        case LWS_CALLBACK_HTTP_WRITEABLE: {
            Request r(side, wsi, user);
            return on_writeable(r);
        }
        case LWS_CALLBACK_HTTP_DROP_PROTOCOL: {
            Request r(side, wsi, user);
            on_drop(r);
            break;
        }
        case LWS_CALLBACK_CLOSED_HTTP:
            server_of(wsi).forget(wsi);
            break;
        case LWS_CALLBACK_TIMER:
            return guard_on_timer(wsi) ? -1 : 0;
        default:
            if (!is_quiet(reason)) {
                log_uncatched(reason, user, in, len);
            }
            break;
    }
    return result == kDummyResult ? dummy(wsi, reason, user, in, len) : result;
}

bool firmware_refused(const EndpointSide& side, lws* wsi, void* user, const char* uri) {
    if (first_path_segment(uri != nullptr ? uri : "") != "/fw") {
        return false;
    }
    char local[kPeerAddressSize] = {};
    char* peer_address = user != nullptr ? static_cast<char*>(user) : local;
    if (lws_get_peer_simple(wsi, peer_address, kPeerAddressSize) == nullptr) {
        sa_trace.error("lws_get_peer_simple returned null: %s", std::strerror(errno));
        return true;
    }
    const std::string ip(peer_address);
    auto ap = side.find(ip);
    if (!ap) {
        sa_trace.error("[%s] not tracked!", ip.c_str());
        side.report(side.fw_untracked_event, ip);
        return true;
    }
    if (ap->fw_tries_left <= 0) {
        sa_trace.warn("firmware request from [%s] not awaited", ip.c_str());
        side.report("firmware request not awaited", ip);
        return true;
    }
    if (https_counters().fw_download_sessions >= kMaxFwDownloads) {
        guard_refused(wsi, side.fw_limit_refusal, ip);
        side.report(side.fw_limit_text, ip);
        return true;
    }
    return false;
}

std::string_view first_path_segment(std::string_view uri) {
    if (uri.size() <= 1) {
        return uri;
    }
    const size_t slash = uri.find('/', 1);
    return slash == std::string_view::npos ? uri : uri.substr(0, slash);
}

bool content_length_acceptable(std::string_view text) {
    if (text.empty()) {
        return false;
    }
    size_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + static_cast<size_t>(c - '0');
        if (value > kMaxRequestBody) {
            return false;
        }
    }
    return true;
}
