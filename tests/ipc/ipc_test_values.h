#pragma once
// Field values for every message class alike, through visit_fields.

#include <cstdint>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

#include "libs/ipc/imsg.h"

// NIL: nil texts, zeros; EMPTY: empty texts; TYPICAL: a distinct value per
// field; EXTREME: maximum numbers, long texts with a NUL, long lists.
enum class FillStyle { NIL, EMPTY, TYPICAL, EXTREME };

template <class M>
void fill_fields(M& msg, FillStyle style) {
    const bool typical = style == FillStyle::TYPICAL, extreme = style == FillStyle::EXTREME;
    uint32_t n = 0;
    const auto fill = [&](auto& value) {
        using T = std::decay_t<decltype(value)>;
        ++n;
        if constexpr (std::is_same_v<T, SharedString>) {
            value = style == FillStyle::NIL ? nullptr
                    : typical ? make_shared_string("text-" + std::to_string(n) + " é\n\"")
                    : extreme ? make_shared_string(std::string(100000 + n, 'x') + '\0')
                              : make_shared_string("");
        } else if constexpr (std::is_same_v<T, bool>) {
            value = typical || extreme;
        } else if constexpr (std::is_integral_v<T>) {
            value = extreme   ? std::numeric_limits<T>::max()
                    : typical ? static_cast<T>(sizeof(T) == 1 ? n : 1000 * n)
                              : 0;
        } else if constexpr (std::is_same_v<T, std::vector<uint32_t>>) {
            value = typical ? T{2, 25, 164} : extreme ? T{0, UINT32_MAX} : T{};
        } else {  // AP rows, distinct; every seventh without IP, every eleventh without MAC
            value.resize(typical ? 12 : extreme ? 5000 : style == FillStyle::EMPTY);
            for (uint32_t i = 0; i < value.size(); ++i) {
                const auto hi = static_cast<unsigned char>(i >> 8),
                           lo = static_cast<unsigned char>(i);
                if (i % 11 != 0) {
                    value[i].mac.valid = true;
                    value[i].mac.octets = {0x02, 0, 0, 0, hi, lo};
                }
                if (i % 7 != 0) {
                    value[i].ip = {true, {10, 0, hi, lo}};
                }
                value[i].device_type = "DEV-" + std::to_string(i % 13);
                value[i].sw_version = "5.0." + std::to_string(i);
                value[i].hw_version = i % 3 == 0 ? "" : "rev" + std::to_string(i % 5);
                value[i].serial = "SN" + std::to_string(1000000 + i);
                value[i].state = extreme && i + 1 == value.size() ? UINT32_MAX : i % 7;
            }
        }
    };
    msg.visit_fields([&](auto&... fields) { (fill(fields), ...); });
}

inline bool same_field(const SharedString& a, const SharedString& b) {
    return a == nullptr ? b == nullptr : b != nullptr && *a == *b;
}
template <class T>
bool same_field(const T& a, const T& b) {
    return a == b;
}

// Field by field; a nil text differs from an empty one.
template <class M>
bool same_fields(const M& a, const M& b) {
    bool same = true;
    a.visit_fields([&](const auto&... fa) {
        b.visit_fields([&](const auto&... fb) { same = (same_field(fa, fb) && ... && true); });
    });
    return same;
}
