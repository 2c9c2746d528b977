#pragma once
// The request steps both endpoints share. Everything that tells the authorized
// endpoint from the free one is an EndpointSide; both are defined side by side
// in endpoint_sides.cpp.

#include <libwebsockets.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "https/answer.h"
#include "https/counters.h"

class ApDataBase;

// Per-connection data of every protocol of both vhosts: lws allocates it
// zero-filled when a protocol is bound to the connection and frees it when the
// protocol is unbound (for "http" that is the end of each request). It holds
// the peer's IPv4 text once the request's first callback has filled it.
inline constexpr size_t kPeerAddressSize = 16;

// Request bodies, and so Content-Length values, are refused above this.
inline constexpr size_t kMaxRequestBody = 64 * 1024;
// The longest Content-Length text lws 4.1 reads (its buffer holds 31 bytes
// with the NUL). A longer one, such as a value padded with zeros, leaves lws
// waiting for 100 MB of body, so the request is refused at once instead.
inline constexpr size_t kMaxContentLengthText = 30;

struct EndpointSide {
    const char* name;     // "<name> HTTPS: connection %s, path %s"
    const char* ap_kind;  // "firmware download for <ap_kind> AP: ..."
    size_t answer_size;   // answer buffer after LWS_PRE

    // The side's registry and event reporter.
    std::shared_ptr<ApDataBase> (*find)(const std::string& ip);
    void (*track)(const std::string& ip, const std::string& path);
    void (*untrack)(const std::string& ip);
    int (*process_request)(const std::string& ip);
    void (*report)(const std::string& reason, std::optional<std::string> ip);

    // A body chunk for an address the registry does not hold.
    const char* body_untracked_event;  // null: none
    const char* body_untracked_answer;
    // NOT_TRACKED at the end of the body.
    const char* not_tracked_answer;
    // Result 4 at the end of the body (the AP waits for authentication).
    int (*auth_waiting)(AnswerContext& answer, const std::string& ip);
    // At most 100 requests bound to "http" at once.
    bool limits_requests;
    // Paths the side answers; null: any path. A request on another is
    // refused before it reaches the registry.
    bool (*knows_path)(std::string_view path);

    // "/fw" refusals.
    const char* fw_untracked_event;
    Refusal fw_limit_refusal;   // its log line
    const char* fw_limit_text;  // event reason

    // Connection close.
    const char* drop_finished_event;    // null: none
    const char* drop_unfinished_log;    // "%s" is the address
    const char* drop_unfinished_event;  // null: none
};

// The "http" protocol callback of a side.
int request_callback(const EndpointSide& side, lws* wsi, lws_callback_reasons reason, void* user,
                     void* in, size_t len);
// LWS_CALLBACK_FILTER_HTTP_CONNECTION: true refuses a "/fw" request that may
// not download.
bool firmware_refused(const EndpointSide& side, lws* wsi, void* user, const char* uri);

// "/fw" of "/fw/image.bin"; a URI of length 0 or 1 is its own segment.
std::string_view first_path_segment(std::string_view uri);
// A plain non-negative decimal of at most kMaxRequestBody.
bool content_length_acceptable(std::string_view text);
