#pragma once
// The AP that the dialogue tests talk about, and the messages it should cause.

#include <memory>
#include <string>

#include "registry/ap_request.h"
#include "tests/dialogue/dialogue_fixture.h"

namespace ap {

inline const std::string kIp = "10.0.0.7";
inline const std::string kMacText = "00:1a:2b:3c:4d:5e";  // as the AP's body writes it, lower-cased
inline const std::string kDevice = "AP-100";
inline const std::string kSw = "1.2.3";
inline const std::string kBroadcast = "ff:ff:ff:ff:ff:ff";

inline MacAddr mac() {
    return MacAddr::from_str("00:1A:2B:3C:4D:5E");
}

inline std::shared_ptr<ApRequestParams> params() {
    auto p = std::make_shared<ApRequestParams>();
    p->device_type = kDevice;
    p->sw_version = kSw;
    p->hw_version = "hw2";
    p->serial = "SN123";
    p->mac = mac();
    return p;
}

inline SentMsg fw_check(uint32_t kind, bool authorized) {
    return {136,
            {kMacText, kDevice, kIp, kSw, std::to_string(kind), authorized ? "true" : "false"}};
}
inline SentMsg get_credentials() {
    return {3, {kMacText, kDevice, kSw, kIp}};
}
// An event for an AP that no registry knows: what the caller gave, code 0.
inline SentMsg event_full(const std::string& prefix, const std::string& reason) {
    return {164, {kMacText, "0", kDevice, kSw, kIp, prefix + reason}};
}
inline SentMsg event_ip_only(const std::string& prefix, const std::string& reason) {
    return {164, {kBroadcast, "0", "", "", kIp, prefix + reason}};
}

}  // namespace ap
