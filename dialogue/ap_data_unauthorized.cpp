#include "dialogue/ap_data_unauthorized.h"

#include <string_view>
#include <unordered_map>

#include "controller/ap_events.h"
#include "libs/trace/trace.h"
#include "platform/globals.h"

namespace {

// Without a certificate every check is a first registration check.
constexpr uint32_t kCheckKind = 0;

}  // namespace

void ApDataUnauthorized::set_path(const std::string& new_path) {
    static const std::unordered_map<std::string_view, UnauthedApSaState> kStates = {
        {"/register/ap", REGISTER},
        {"/wait/ap", WAIT_AUTH},
    };
    path = new_path;
    auto found = kStates.find(path);
    state = found == kStates.end() ? UNKNOWN : found->second;
}

int ApDataUnauthorized::on_request(std::shared_ptr<ApRequestParams> new_params,
                                   const std::string& ip) {
    params = std::move(new_params);
    if (state == WAIT_AUTH) {
        // The endpoint answers a waiting AP itself; the controller has decided already.
        return AUTH_WAITING;
    }
    send_fw_ap_check(params->mac, params->device_type, ip, params->sw_version, kCheckKind, false);
    return ANSWER_PENDING;
}

bool ApDataUnauthorized::is_finished() const {
    return failed;
}

void ApDataUnauthorized::on_check_result(uint32_t /*verdict*/, const std::string& ip,
                                         uint32_t /*mode*/, uint32_t result,
                                         const std::string& fw_file, bool check_crt) {
    if (!params) {
        sa_trace.warn("Can`t find ap request params for [%s]", ip.c_str());
        report_free_ap_event("can`t find AP request params", ip);
        return;
    }
    const ApRequestParams& req = *params;
    const std::string mac_text = req.mac.str();
    fw_result = result;
    switch (result) {
        case FW_UNKNOWN_BOARD:
            sa_trace.error("AP %s has unknown board type '%s'", mac_text.c_str(),
                           req.device_type.c_str());
            report_free_ap_event("AP has unknown board type", ip, req.mac, req.device_type,
                                 req.sw_version);
            failed = true;
            reply.build_unavailable("unknown board type");
            break;
        case FW_NO_IMAGE:
            sa_trace.error(
                "AP %s with board type '%s' with unsupported firmware version '%s', no "
                "firmware image for upgrade",
                mac_text.c_str(), req.device_type.c_str(), req.sw_version.c_str());
            report_free_ap_event(
                "AP with unsupported firmware version, no firmware image for upgrade", ip, req.mac,
                req.device_type, req.sw_version);
            reply.build_unavailable("no firmware image for upgrade");
            failed = true;
            break;
        case FW_UPGRADE:
        case FW_UPGRADE_ALT:
            fw_tries_left = kFwTriesPerUpgrade;
            reply.build_upgrade(check_crt, fw_file);
            state = UPGRADING_FW;
            break;
        case FW_CURRENT:
            // The verdict waits until the AP is authenticated.
            reply.build_auth_required();
            break;
        default:
            break;
    }
}
