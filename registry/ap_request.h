#pragma once
// What an AP declares about itself in a request, and the AP list row built
// from it.

#include <cstdint>
#include <memory>
#include <string>

#include "libs/ipc/imsg.h"
#include "registry/addr.h"

struct ApRequestParams {
    std::string device_type;
    std::string sw_version;
    std::string hw_version;
    std::string serial;
    MacAddr mac;  // always valid in a record that was handed out
    uint32_t timeout = 0;
    uint32_t error = 0;
};

// The record of an accepted request body, or an empty pointer when the body is
// refused (each refusal is logged).
std::shared_ptr<ApRequestParams> parse_json_ap_request(const std::string& body);

SaApsInfo::ApInfo make_ap_info(const std::string& ip, const ApRequestParams& params,
                               SaApState state);

// Result of a registry's request processing; the endpoints act on it. Values
// above REPORT come from the AP data object's on_request.
enum ApRequestResult : int {
    NOT_TRACKED = 0,
    BAD_JSON = 1,
    NO_MAC_IP_PAIR = 2,
    REPORT = 3,
    AUTH_WAITING = 4,
    ANSWER_PENDING = 5,
};
