#include "https/answer.h"

#include <libwebsockets.h>

#include <string>
#include <vector>

#include "dialogue/sa_reply.h"
#include "libs/trace/trace.h"
#include "platform/globals.h"
#include "platform/metrics.h"

namespace {

constexpr int kStatusOk = 200;
constexpr int kStatusError = 400;
constexpr char kJson[] = "application/json";
// Status line, Content-Type and Content-Length with room to spare.
constexpr size_t kHeaderRoom = 256;

bool add_headers(lws* wsi, int status, unsigned char*& p, unsigned char* end, size_t body_length) {
    return lws_add_http_header_status(wsi, static_cast<unsigned int>(status), &p, end) == 0 &&
           lws_add_http_header_by_token(wsi, WSI_TOKEN_HTTP_CONTENT_TYPE,
                                        reinterpret_cast<const unsigned char*>(kJson),
                                        sizeof(kJson) - 1, &p, end) == 0 &&
           lws_add_http_header_content_length(wsi, body_length, &p, end) == 0 &&
           lws_finalize_http_header(wsi, &p, end) == 0;
}

}  // namespace

void send_answer(lws* wsi, int status, unsigned char*& p, unsigned char*& start,
                 unsigned char*& end, std::string_view body, const char* peer) {
    const std::string text(body);
    sa_trace.ap_unsecure("Send answer %d to AP %s: %r", status, peer, text.c_str());
    // The replies fit the callback's buffer; a larger one (a long password or
    // firmware name) gets a buffer of its own rather than going out cut.
    std::vector<unsigned char> large;
    unsigned char* first = start;
    unsigned char* pos = p;
    unsigned char* last = end;
    if (text.size() + kHeaderRoom > static_cast<size_t>(end - p)) {
        large.resize(LWS_PRE + kHeaderRoom + text.size() + 1);
        first = large.data() + LWS_PRE;
        pos = first;
        last = large.data() + large.size() - 1;
    }
    if (!add_headers(wsi, status, pos, last, text.size())) {
        sa_trace.error("Can't prepare HTTP response headers");
    }
    pos += lws_snprintf(reinterpret_cast<char*>(pos), static_cast<size_t>(last - pos), "%s",
                        text.c_str());
    const size_t length = static_cast<size_t>(pos - first);
    if (lws_write(wsi, first, length, LWS_WRITE_HTTP_FINAL) != static_cast<int>(length)) {
        sa_trace.error("Can't prepare HTTP response body");
    }
    if (large.empty()) {
        p = pos;
    }
    if (lws_http_transaction_completed(wsi) != 0) {
        sa_trace.ap("HTTP connection must close now");
    }
}

void send_ok(AnswerContext& ctx, std::string_view body) {
    metrics_ok_reply(body);
    send_answer(ctx.wsi, kStatusOk, ctx.p, ctx.start, ctx.end, body, ctx.peer_address);
}

void send_error(AnswerContext& ctx, std::string_view error, const char* peer) {
    metrics_error_reply(error);
    send_answer(ctx.wsi, kStatusError, ctx.p, ctx.start, ctx.end, error_reply_text(error), peer);
}

void lws_log_to_trace(int, const char* line) {
    sa_trace.ap_lib_line(line);
}
