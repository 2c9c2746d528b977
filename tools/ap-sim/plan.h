#pragma once
// Who the simulated APs are: MAC, source address, what they declare, and how
// their downloads behave. Built from --mix, a plan file, or the plain options.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "registry/addr.h"

struct ApPlan {
    MacAddr mac;
    std::string address;  // source address in 127.0.0.0/8
    std::string device_type;
    std::string sw_version;
    std::string hw_version;
    std::string serial;
    int abort_downloads = 0;  // downloads cut off halfway before one is let through
};

// One line of a mix or a plan file, before MACs and addresses are handed out.
struct PlanGroup {
    int count = 1;
    std::optional<MacAddr> mac;  // first MAC of the group; default: the next free one
    std::optional<std::string> address;
    std::optional<std::string> device_type;
    std::optional<std::string> sw_version;
    std::optional<std::string> hw_version;
    std::optional<int> abort_downloads;
};

struct PlanDefaults {
    MacAddr mac_base;
    std::string addr_base = "127.0.1.1";
    std::string device_type = "dor-ap110";
    std::string sw_version = "1.0.0";
    std::string hw_version = "A1";
    int abort_downloads = 0;
};

// "TYPE:VERSION[:COUNT],..." (COUNT defaults to 1).
std::optional<std::vector<PlanGroup>> parse_mix(const std::string& text, std::string* error);
// {"aps": [{"count", "mac", "address", "device-type", "sw-version", "hw-version",
//  "abort-downloads"}, ...]}; a bare array is accepted too.
std::optional<std::vector<PlanGroup>> parse_plan(const std::string& text, std::string* error);

// MACs and addresses in order: groups without a MAC take the next one after
// `mac_base`, every AP the next address after `addr_base`. Null with `error`
// when an address leaves 127.0.0.0/8.
std::optional<std::vector<ApPlan>> expand_plan(const std::vector<PlanGroup>& groups,
                                               const PlanDefaults& defaults, std::string* error);

MacAddr mac_plus(const MacAddr& base, uint64_t offset);
// Null when `base` is not an IPv4 text or the result leaves 127.0.0.0/8.
std::optional<std::string> loopback_plus(const std::string& base, uint32_t offset);
