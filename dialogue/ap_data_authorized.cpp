#include "dialogue/ap_data_authorized.h"

#include <array>
#include <string_view>
#include <unordered_map>

#include "controller/ap_events.h"
#include "libs/trace/trace.h"
#include "platform/globals.h"

namespace {

// Request kind of a check repeated after a firmware result.
constexpr uint32_t kRecheckKind = 2;

// Refusals by the controller's verdict; the verdicts before the first one admit.
constexpr uint32_t kFirstRefusingVerdict = 3;
constexpr std::array<const char*, 6> kRefusals = {
    "internal error",                  // 3
    "limit of access points reached",  // 4
    "connection already established",  // 5
    "connection already planned",      // 6
    "AP not checked",                  // 7
    "check verdict unknown",           // 8
};

// How to go on after an upgrade-worthy firmware result.
enum FwMode : int32_t {
    MODE_RECHECK = 0,
    MODE_RECHECK_ALT = 1,
    MODE_UPGRADE = 2,
};

}  // namespace

void ApDataAuthrized::set_path(const std::string& new_path) {
    static const std::unordered_map<std::string_view, ApRequestState> kStates = {
        {"/register/ap", REQ_REGISTER},
        {"/ready/ap", REQ_READY},
    };
    path = new_path;
    auto found = kStates.find(path);
    state = found == kStates.end() ? REQ_UNKNOWN : found->second;
}

int ApDataAuthrized::on_request(std::shared_ptr<ApRequestParams> new_params,
                                const std::string& ip) {
    params = std::move(new_params);
    send_fw_ap_check(params->mac, params->device_type, ip, params->sw_version, state, true);
    return ANSWER_PENDING;
}

bool ApDataAuthrized::is_finished() const {
    return state == REQ_READY || failed;
}

void ApDataAuthrized::set_credentials(const std::string& password) {
    reply.build_credentials(password);
}

void ApDataAuthrized::on_check_result(uint32_t verdict, const std::string& ip, uint32_t mode,
                                      uint32_t result, const std::string& fw_file, bool check_crt) {
    if (!params) {
        sa_trace.warn("Can`t find ap request params for [%s]", ip.c_str());
        report_auth_ap_event("Can`t find AP request params", ip);
        return;
    }
    fw_result = result;
    const ApRequestParams& req = *params;
    switch (result) {
        case FW_UNKNOWN_BOARD:
            sa_trace.error_mac(req.mac, "AP has unknown board type '%s'", req.device_type.c_str());
            report_auth_ap_event("AP has unknown board type", ip, req.mac, req.device_type,
                                 req.sw_version);
            failed = true;
            reply.build_unavailable("unknown board type");
            break;
        case FW_NO_IMAGE:
            sa_trace.error_mac(req.mac,
                               "AP with board type '%s' with unsupported firmware version '%s', "
                               "no firmware image for upgrade",
                               req.device_type.c_str(), req.sw_version.c_str());
            report_auth_ap_event(
                "AP with unsupported firmware version, no firmware image for upgrade", ip, req.mac,
                req.device_type, req.sw_version);
            failed = true;
            reply.build_unavailable("no firmware image for upgrade");
            break;
        case FW_UPGRADE:
        case FW_UPGRADE_ALT:
            apply_fw_mode(mode, ip, fw_file, check_crt);
            state = REQ_FW_DECIDED;
            break;
        case FW_CURRENT:
            apply_verdict(verdict, ip);
            break;
        default:
            break;
    }
}

void ApDataAuthrized::apply_fw_mode(uint32_t mode, const std::string& ip,
                                    const std::string& fw_file, bool check_crt) {
    switch (static_cast<int32_t>(mode)) {
        case MODE_RECHECK:
        case MODE_RECHECK_ALT:
            recheck_firmware(ip);
            break;
        case MODE_UPGRADE:
            report_auth_ap_event("upgrading", ip);
            start_upgrade(fw_file, check_crt);
            break;
        default:
            break;
    }
}

void ApDataAuthrized::start_upgrade(const std::string& fw_file, bool check_crt) {
    if (params) {
        sa_trace.events_mac(params->mac, "UPGRADING... (%s)[%s], fw_file: %s ",
                            params->device_type.c_str(), params->sw_version.c_str(),
                            fw_file.c_str());
    }
    fw_tries_left = kFwTriesPerUpgrade;
    reply.build_upgrade(check_crt, fw_file);
}

void ApDataAuthrized::recheck_firmware(const std::string& ip) {
    if (!params) {
        return;
    }
    send_fw_ap_check(params->mac, params->device_type, ip, params->sw_version, kRecheckKind, true);
}

void ApDataAuthrized::apply_verdict(uint32_t verdict, const std::string& ip) {
    if (verdict < kFirstRefusingVerdict) {
        admit(ip);
        return;
    }
    const uint32_t refusal = verdict - kFirstRefusingVerdict;
    if (refusal >= kRefusals.size()) {
        return;
    }
    failed = true;
    reply.build_unavailable(kRefusals[refusal]);
}

void ApDataAuthrized::admit(const std::string& ip) {
    switch (state) {
        case REQ_REGISTER:
            if (!params) {
                return;
            }
            sa_trace.core_mac(params->mac, "Request credentials data for the valid ap");
            report_auth_ap_event("request credentials data for the valid AP", ip, params->mac,
                                 params->device_type, params->sw_version);
            send_get_credentials(params->mac, params->device_type, params->sw_version, ip);
            break;
        case REQ_READY:
            reply.build_allow();
            break;
        default:
            break;
    }
}
