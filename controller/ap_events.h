#pragma once
// AP event reports to the other controller processes. Callers give what they
// have at hand; the reporters complete the rest from the AP's registry.

#include <cstdint>
#include <optional>
#include <string>

#include "registry/addr.h"

// For an AP on the authorized side (tracked registry).
void report_auth_ap_event(std::string reason, std::optional<std::string> ip = {},
                          std::optional<MacAddr> mac = {},
                          std::optional<std::string> device_type = {},
                          std::optional<std::string> sw_version = {});
// For an AP on the unauthorized side (unauthorized registry).
void report_free_ap_event(std::string reason, std::optional<std::string> ip = {},
                          std::optional<MacAddr> mac = {},
                          std::optional<std::string> device_type = {},
                          std::optional<std::string> sw_version = {});

// Absent strings go out as "".
void send_ap_event(const MacAddr& mac, uint32_t code, const std::string& reason,
                   const std::optional<std::string>& ip,
                   const std::optional<std::string>& device_type,
                   const std::optional<std::string>& sw_version);
void send_ap_reg_timeout(const MacAddr& mac);
