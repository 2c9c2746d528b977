// IPv4 texts: a valid value prints a text that reads back to itself; an invalid
// one is all zero.

#include <cstdint>
#include <cstdlib>
#include <string>

#include "registry/addr.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const Ipv4Addr addr = Ipv4Addr::from_str(text.c_str());
    if (!addr.valid) {
        for (unsigned char octet : addr.octets) {
            if (octet != 0)
                std::abort();
        }
        if (!addr.str().empty())
            std::abort();
        return 0;
    }
    const std::string printed = addr.str();
    const Ipv4Addr again = Ipv4Addr::from_str(printed.c_str());
    if (!again.valid || again != addr)
        std::abort();
    return 0;
}
