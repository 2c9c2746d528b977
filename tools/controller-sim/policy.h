#pragma once
// What the simulated controller answers: firmware checks, credentials and the
// fate of certificate requests, per MAC and per device type.
//
// Policy file (JSON, every member optional, unknown members refused):
//   {
//     "verdict": 0,                  default admission verdict (0 admits)
//     "check-crt": false,            default "fw-check-crt" of upgrade orders
//     "device-types": {              known device types; without this member the
//       "TYPE": {                    board-types table of the platform is used
//         "verdict": 0,
//         "firmware": "2.1.0",       target version: an AP running another one is
//         "image": "TYPE-2.1.0.bin", told to upgrade with this file; without
//         "check-crt": true          "image" it is refused (firmware result 1)
//       }
//     },
//     "macs": {
//       "MAC": {
//         "verdict": 4,              overrides the device type's verdict
//         "password": "secret",      credentials (default "pw-" + bare MAC)
//         "cert-result": 2,          141 result; non-zero issues nothing
//         "store-cert": false,       issue and deliver, but store no copy
//         "stored-differs": true     store another certificate under the serial
//       }
//     }
//   }
// Device types that are not known get firmware result 0.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "registry/addr.h"

// Firmware results and modes of the check answer.
inline constexpr uint32_t kFwUnknownBoard = 0;
inline constexpr uint32_t kFwNoImage = 1;
inline constexpr uint32_t kFwUpgrade = 2;
inline constexpr uint32_t kFwCurrent = 4;
inline constexpr uint32_t kModeUpgrade = 2;

struct CheckDecision {
    uint32_t mode = 0;
    uint32_t verdict = 0;
    uint32_t fw_result = kFwCurrent;
    std::string fw_file;
    bool check_crt = false;

    friend bool operator==(const CheckDecision&, const CheckDecision&) = default;
};

struct CertRules {
    uint32_t result = 0;  // 0: issue the certificate
    bool store = true;
    bool stored_differs = false;
};

class Policy {
  public:
    // Every type of the platform's board-types table known, no firmware targets, verdict 0.
    Policy();

    static std::optional<Policy> parse(const std::string& text, std::string* error);
    static std::optional<Policy> load(const std::string& path, std::string* error);

    CheckDecision check(const MacAddr& mac, const std::string& device_type,
                        const std::string& sw_version) const;
    CertRules cert_rules(const MacAddr& mac) const;
    std::string password(const MacAddr& mac) const;

  private:
    struct DeviceType {
        std::optional<uint32_t> verdict;
        std::optional<std::string> firmware;
        std::optional<std::string> image;
        std::optional<bool> check_crt;
    };
    struct MacRules {
        std::optional<uint32_t> verdict;
        std::optional<std::string> password;
        CertRules cert;
    };

    uint32_t verdict_ = 0;
    bool check_crt_ = false;
    std::map<std::string, DeviceType> types_;
    std::map<MacAddr, MacRules> macs_;
};

// Versions compare by their numbers when both read as a.b.c[.d], else as text.
bool same_version(const std::string& a, const std::string& b);
