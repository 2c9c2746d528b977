#pragma once
// The APs that talk to the authorized endpoint, keyed by the address text of
// their connection. An AP is forgotten after 300 expiry steps without a new
// request; every change is reported to the controller as an AP event.

#include <cstddef>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "libs/ipc/imsg.h"
#include "registry/ap_registry.h"
#include "registry/registry_sides.h"

class TrackedAps {
  public:
    TrackedAps(SaConfig& config, timespec start) : registry(config, start) {}
    virtual ~TrackedAps();
    TrackedAps(const TrackedAps&) = delete;
    TrackedAps& operator=(const TrackedAps&) = delete;

    // Starts or restarts tracking the AP at `ip` for a new request on `path`.
    void track(const std::string& ip, const std::string& path) { registry.track(ip, path); }
    void untrack(const std::string& ip) { registry.untrack(ip); }
    std::shared_ptr<ApDataAuthrized> find(const std::string& ip) const { return registry.find(ip); }
    std::optional<std::string> find_ip(const MacAddr& mac) const { return registry.find_ip(mac); }
    std::optional<MacAddr> find_mac(const std::string& ip) const { return registry.find_mac(ip); }
    // False when `ip` is not tracked.
    bool assign_mac_ip(const MacAddr& mac, const std::string& ip) {
        return registry.assign_mac_ip(mac, ip);
    }
    // Parses the AP's current body and hands it to its handler; an
    // ApRequestResult code.
    int process_request(const std::string& ip) { return registry.process_request(ip); }
    // Called every loop turn with the monotonic time.
    void tick(const timespec& now) { registry.tick(now); }
    // Forgets every AP silently.
    void clear() { registry.clear(); }
    // MAC text -> {"sa-status": "joined"}; the caller releases the tree.
    lcw_data_t* mac_statuses() const { return registry.mac_statuses(); }
    void collect_infos(std::vector<SaApsInfo::ApInfo>& out) const { registry.collect_infos(out); }

    size_t size() const { return registry.size(); }

  private:
    ApRegistry<TrackedSide> registry;
};
