#pragma once
// The frame both AP registries share: APs keyed by the address text of their
// connection, the MAC pairing, request parsing, the once-a-second expiry and
// the list outputs. What differs between the two sides (handler class, time
// to live, traces, event reporter, list states) comes from `Side`, see
// registry/registry_sides.h.

#include <cstddef>
#include <ctime>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "libs/ipc/imsg.h"
#include "registry/addr.h"

class SaConfig;
struct lcw_data_t;

template <class Side>
class ApRegistry {
  public:
    using Handler = typename Side::Handler;
    using ApMap = std::map<std::string, std::shared_ptr<Handler>>;

    ApRegistry(SaConfig& config, timespec start) : configuration(config), last_second(start) {}
    ApRegistry(const ApRegistry&) = delete;
    ApRegistry& operator=(const ApRegistry&) = delete;

    void track(const std::string& ip, const std::string& path);
    void untrack(const std::string& ip);
    std::shared_ptr<Handler> find(const std::string& ip) const;
    std::optional<std::string> find_ip(const MacAddr& mac) const;
    // The first MAC in key order paired with exactly `ip`.
    std::optional<MacAddr> find_mac(const std::string& ip) const;
    bool assign_mac_ip(const MacAddr& mac, const std::string& ip);
    int process_request(const std::string& ip);
    // One expiry step per change of the whole second, however long the gap.
    void tick(const timespec& now);
    void clear();
    // New tree owned by the caller, or null.
    lcw_data_t* mac_statuses() const;
    void collect_infos(std::vector<SaApsInfo::ApInfo>& out) const;

    size_t size() const { return ap_data.size(); }
    const ApMap& entries() const { return ap_data; }
    SaConfig& config() const { return configuration; }

  private:
    void expiry_step();
    // Every change of the MAC pairs goes through these two, which keep the
    // reverse index in step with `ap_mac_to_ip`.
    void pair(const MacAddr& mac, const std::string& ip);
    void unpair(const MacAddr& mac);

    SaConfig& configuration;
    timespec last_second;
    ApMap ap_data;
    std::map<MacAddr, std::string> ap_mac_to_ip;
    // Address to the MACs paired with it: find_mac runs on every request and
    // expiry, and a walk over all pairs is too slow with many APs.
    std::unordered_map<std::string, std::set<MacAddr>> macs_by_ip;
};
