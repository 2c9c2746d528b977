// MAC texts: a valid value prints a text that reads back to itself; an invalid
// one is all zero; both overloads agree on NUL-free text.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "registry/addr.h"

namespace {

void check(const MacAddr& mac) {
    if (!mac.valid) {
        for (unsigned char octet : mac.octets) {
            if (octet != 0)
                std::abort();
        }
        return;
    }
    const std::string text = mac.str();
    if (text.size() != 17)
        std::abort();
    const MacAddr again = MacAddr::from_str(text.c_str());
    if (!again.valid || again != mac || again.str() != text)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* raw = reinterpret_cast<const char*>(data);
    const MacAddr counted = MacAddr::from_str(raw, size);
    check(counted);

    const std::string text(raw, size);
    const MacAddr terminated = MacAddr::from_str(text.c_str());
    check(terminated);
    if (std::memchr(raw, '\0', size) == nullptr &&
        (counted.valid != terminated.valid || counted != terminated)) {
        std::abort();
    }
    return 0;
}
