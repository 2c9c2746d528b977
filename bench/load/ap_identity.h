#pragma once
// Who each simulated AP is: its own loopback source address, MAC and body, so
// that the registries and the controller's answers see distinct APs.

#include <optional>
#include <string>

#include "registry/addr.h"

struct ApIdentity {
    Ipv4Addr source;
    MacAddr mac;
};

struct BodyFields {
    std::string device_type = "dor-ap110";
    std::string sw_version = "2.1.0";
    std::string hw_version = "A1";
};

// The n-th address after `base` (n = 0 is `base`) in 127.0.0.0/8, skipping
// host octets 0 and 255; nothing when it would leave the loopback network.
std::optional<Ipv4Addr> nth_loopback_address(const Ipv4Addr& base, int n);

// `base` plus n as a 48-bit number.
MacAddr nth_mac(const MacAddr& base, int n);

// Twelve upper-case hex digits: the AP certificate's serial and file names.
std::string bare_upper_mac(const MacAddr& mac);

// The AP request JSON with every member the service requires.
std::string ap_request_body(const MacAddr& mac, const BodyFields& fields);
