#pragma once
// Value types that name an AP on the network. They have no dependencies so the
// platform libraries (IPC rows, trace filter) can share them with the service.

#include <array>
#include <compare>
#include <cstddef>
#include <functional>
#include <string>

struct MacAddr {
    bool valid = false;
    std::array<unsigned char, 6> octets{};

    MacAddr() = default;

    // Never fails: a bad or null text gives the invalid all-zero value.
    static MacAddr from_str(const char* text);
    // Accepts exactly 17 characters (colon form) or 12 (bare hex digits).
    static MacAddr from_str(const char* text, size_t length);

    // Lower-case colon form, NUL-terminated; printed whatever `valid` says.
    using Text = std::array<char, 18>;
    Text text() const;
    std::string str() const { return text().data(); }

    // Identity is the octets alone: an invalid value equals 00:00:00:00:00:00.
    friend bool operator==(const MacAddr& a, const MacAddr& b) { return a.octets == b.octets; }
    friend std::strong_ordering operator<=>(const MacAddr& a, const MacAddr& b) {
        return a.octets <=> b.octets;
    }
};
static_assert(sizeof(MacAddr) == 7);

template <>
struct std::hash<MacAddr> {
    size_t operator()(const MacAddr& mac) const noexcept { return mac.octets[5]; }
};

struct Ipv4Addr {
    bool valid = false;
    std::array<unsigned char, 4> octets{};

    static Ipv4Addr from_str(const char* text);
    // Dotted decimal; empty text for an invalid value.
    std::string str() const;

    friend bool operator==(const Ipv4Addr&, const Ipv4Addr&) = default;
};
static_assert(sizeof(Ipv4Addr) == 5);
