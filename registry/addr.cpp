#include "registry/addr.h"

#include <cstdio>
#include <cstring>

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool read_octet(const char* pair, unsigned char& out) {
    const int hi = hex_value(pair[0]);
    const int lo = hex_value(pair[1]);
    if (hi < 0 || lo < 0)
        return false;
    out = static_cast<unsigned char>(hi * 16 + lo);
    return true;
}

}  // namespace

MacAddr MacAddr::from_str(const char* text) {
    if (text == nullptr)
        return MacAddr{};
    return from_str(text, std::strlen(text));
}

MacAddr MacAddr::from_str(const char* text, size_t length) {
    MacAddr mac;
    if (text == nullptr)
        return mac;
    size_t stride;
    if (length == 17) {
        if (text[2] != ':')
            return mac;
        stride = 3;
    } else if (length == 12) {
        stride = 2;
    } else {
        return mac;
    }
    for (size_t i = 0; i < 6; ++i) {
        const char* group = text + i * stride;
        if (stride == 3 && i < 5 && group[2] != ':')
            return MacAddr{};
        if (!read_octet(group, mac.octets[i]))
            return MacAddr{};
    }
    mac.valid = true;
    return mac;
}

// By hand: the MAC list writes one text per AP, and printf dominated it.
MacAddr::Text MacAddr::text() const {
    static constexpr char kHex[] = "0123456789abcdef";
    Text text{};
    for (size_t i = 0; i < octets.size(); ++i) {
        text[i * 3] = kHex[octets[i] >> 4];
        text[i * 3 + 1] = kHex[octets[i] & 0xf];
        text[i * 3 + 2] = i + 1 < octets.size() ? ':' : '\0';
    }
    return text;
}

Ipv4Addr Ipv4Addr::from_str(const char* text) {
    Ipv4Addr addr;
    if (text == nullptr || std::strchr(text, '-') != nullptr || std::strchr(text, '.') == nullptr ||
        std::strlen(text) > 15) {
        return addr;
    }
    short parts[4];
    // %hi takes 0x and leading-zero (octal) forms as the C library reads them.
    if (std::sscanf(text, "%hi.%hi.%hi.%hi", &parts[0], &parts[1], &parts[2], &parts[3]) != 4) {
        return addr;
    }
    for (size_t i = 0; i < 4; ++i) {
        if (parts[i] > 255 || parts[i] < 0)
            return Ipv4Addr{};
        addr.octets[i] = static_cast<unsigned char>(parts[i]);
    }
    addr.valid = true;
    return addr;
}

std::string Ipv4Addr::str() const {
    if (!valid)
        return {};
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", octets[0], octets[1], octets[2], octets[3]);
    return text;
}
