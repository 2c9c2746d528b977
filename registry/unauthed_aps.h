#pragma once
// The APs that talk to the free endpoint without an accepted certificate,
// keyed by the address text of their connection, with their admission state
// (UnauthedApSaState). An AP is forgotten after 360 expiry steps without a new
// request.

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "libs/ipc/imsg.h"
#include "registry/ap_registry.h"
#include "registry/registry_sides.h"

enum AuthResult {
    AUTH_NOT_FOUND = 1,
    AUTH_NOT_WAITING = 2,
    AUTH_STARTED = 4,
};

class UnauthedAps {
  public:
    UnauthedAps(SaConfig& config, timespec start) : registry(config, start) {}
    virtual ~UnauthedAps();
    UnauthedAps(const UnauthedAps&) = delete;
    UnauthedAps& operator=(const UnauthedAps&) = delete;

    // Starts or restarts tracking; the path sets the admission state.
    void track(const std::string& ip, const std::string& path) { registry.track(ip, path); }
    void untrack(const std::string& ip) { registry.untrack(ip); }
    std::shared_ptr<ApDataUnauthorized> find(const std::string& ip) const {
        return registry.find(ip);
    }
    std::optional<std::string> find_ip(const MacAddr& mac) const { return registry.find_ip(mac); }
    std::optional<MacAddr> find_mac(const std::string& ip) const { return registry.find_mac(ip); }
    bool assign_mac_ip(const MacAddr& mac, const std::string& ip) {
        return registry.assign_mac_ip(mac, ip);
    }
    int process_request(const std::string& ip) { return registry.process_request(ip); }
    void tick(const timespec& now) { registry.tick(now); }
    void clear() { registry.clear(); }
    // MAC text -> {"sa-status": status text of the AP's state}.
    lcw_data_t* mac_statuses() const { return registry.mac_statuses(); }
    void collect_infos(std::vector<SaApsInfo::ApInfo>& out) const { registry.collect_infos(out); }

    // Asks for a certificate for the AP that declared `mac`, if it waits for
    // one, and moves it to JOIN_BY_ADMIN or JOIN_AUTO.
    AuthResult authenticate(const MacAddr& mac, bool by_admin, bool notify);
    // The MACs of waiting APs whose authentication did not start.
    std::vector<MacAddr> authenticate_waiting();
    // Whether the administrator waits for the result of the AP at `ip`.
    bool notify_admin(const std::string& ip) const;

    static const char* state_name(uint32_t state) { return UnauthedSide::state_name(state); }
    // Empty for UNKNOWN, which is also logged as an error.
    static std::string status_text(uint32_t state) { return UnauthedSide::status_text(state); }

    size_t size() const { return registry.size(); }

  private:
    ApRegistry<UnauthedSide> registry;
};
