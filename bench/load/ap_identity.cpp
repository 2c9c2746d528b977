#include "bench/load/ap_identity.h"

#include <cstdint>
#include <cstdio>

#include "tools/common/json.h"

namespace {

constexpr int kHostsPerNet = 254;  // host octets 1..254

}  // namespace

std::optional<Ipv4Addr> nth_loopback_address(const Ipv4Addr& base, int n) {
    const auto& o = base.octets;
    if (!base.valid || o[0] != 127 || o[3] == 0 || o[3] == 255 || n < 0) {
        return std::nullopt;
    }
    const int64_t position = int64_t{o[3]} - 1 + n;
    const int64_t net = (int64_t{o[1]} << 8 | o[2]) + position / kHostsPerNet;
    if (net > 0xffff) {
        return std::nullopt;
    }
    Ipv4Addr addr;
    addr.valid = true;
    addr.octets = {127, static_cast<unsigned char>(net >> 8), static_cast<unsigned char>(net),
                   static_cast<unsigned char>(position % kHostsPerNet + 1)};
    return addr;
}

MacAddr nth_mac(const MacAddr& base, int n) {
    uint64_t value = 0;
    for (unsigned char octet : base.octets) {
        value = value << 8 | octet;
    }
    value += static_cast<uint64_t>(n);
    MacAddr mac;
    mac.valid = base.valid;
    for (int i = 5; i >= 0; --i) {
        mac.octets[static_cast<size_t>(i)] = static_cast<unsigned char>(value);
        value >>= 8;
    }
    return mac;
}

std::string bare_upper_mac(const MacAddr& mac) {
    char text[13];
    std::snprintf(text, sizeof text, "%02X%02X%02X%02X%02X%02X", mac.octets[0], mac.octets[1],
                  mac.octets[2], mac.octets[3], mac.octets[4], mac.octets[5]);
    return text;
}

std::string ap_request_body(const MacAddr& mac, const BodyFields& fields) {
    const std::string serial = "BENCH" + bare_upper_mac(mac);
    JsonPtr body(json_pack("{s:s, s:s, s:s, s:s, s:s, s:i}", "deviceType",
                           fields.device_type.c_str(), "swVersion", fields.sw_version.c_str(),
                           "hwVersion", fields.hw_version.c_str(), "serial", serial.c_str(), "mac",
                           mac.str().c_str(), "timeout", 30));
    JsonText text(body ? json_dumps(body.get(), JSON_COMPACT | JSON_PRESERVE_ORDER) : nullptr);
    return text ? text.get() : "{}";
}
