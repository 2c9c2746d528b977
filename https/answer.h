#pragma once
// Writing one complete answer to an AP: status, JSON headers and body.

#include <string_view>

struct lws;

// The answer buffer of the calling callback (its locals, by reference) and the
// peer the answer is for.
struct AnswerContext {
    lws* wsi;
    unsigned char*& p;
    unsigned char*& start;
    unsigned char*& end;
    const char* peer_address;
};

void send_answer(lws* wsi, int status, unsigned char*& p, unsigned char*& start,
                 unsigned char*& end, std::string_view body, const char* peer);
// Status 200 with `body`.
void send_ok(AnswerContext& ctx, std::string_view body);
// Status 400 with the error JSON; `peer` is the connection's address or "unknown".
void send_error(AnswerContext& ctx, std::string_view error, const char* peer);

// The emitter handed to lws_set_log_level.
void lws_log_to_trace(int level, const char* line);
