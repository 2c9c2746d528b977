#pragma once
// Everything that tells the tracked (authorized) registry from the registry of
// unauthorized APs, side by side. The shared frame is ApRegistry.

#include <cstdint>
#include <optional>
#include <string>

#include "libs/ipc/imsg.h"
#include "registry/addr.h"

class ApDataAuthrized;
class ApDataUnauthorized;

struct TrackedSide {
    using Handler = ApDataAuthrized;
    // Expiry steps an AP survives without a new request.
    static constexpr uint32_t kCountdown = 300;
    static constexpr const char* kExpiredReason = "expired timeout for authorized AP";

    static void report(std::string reason, std::optional<std::string> ip,
                       std::optional<MacAddr> mac, std::optional<std::string> device_type,
                       std::optional<std::string> sw_version);
    static bool is_upgrading(const Handler&) { return false; }
    static void trace_track(const std::string& ip, const std::string& path, const Handler& ap,
                            bool was_upgrading, const std::optional<MacAddr>& mac);
    static void trace_expiry(const std::string& ip, const Handler& ap,
                             const std::optional<MacAddr>& mac);
    // The controller is told when a registered AP goes silent.
    static void expired_record(const MacAddr& mac);
    static std::string sa_status(const Handler& ap);
    static SaApState list_state(const Handler& ap);
    static void trace_listed(const std::string&, const Handler&) {}
};

struct UnauthedSide {
    using Handler = ApDataUnauthorized;
    static constexpr uint32_t kCountdown = 360;
    static constexpr const char* kExpiredReason = "expired timeout for unauthorized AP";

    static void report(std::string reason, std::optional<std::string> ip,
                       std::optional<MacAddr> mac, std::optional<std::string> device_type,
                       std::optional<std::string> sw_version);
    static bool is_upgrading(const Handler& ap);
    static void trace_track(const std::string& ip, const std::string& path, const Handler& ap,
                            bool was_upgrading, const std::optional<MacAddr>& mac);
    static void trace_expiry(const std::string& ip, const Handler& ap,
                             const std::optional<MacAddr>& mac);
    static void expired_record(const MacAddr&) {}
    static std::string sa_status(const Handler& ap);
    static SaApState list_state(const Handler& ap);
    static void trace_listed(const std::string& ip, const Handler& ap);

    // Admission states (UnauthedApSaState) as trace names, status texts and
    // list codes.
    static const char* state_name(uint32_t state);
    static std::string status_text(uint32_t state);
    static SaApState state_code(uint32_t state);
};
