#pragma once
// Field values for IPC tests, filled generically through visit_fields so that
// every message class gets the same treatment.

#include <cstdint>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

#include "libs/ipc/imsg.h"

// NIL: nil texts, zeros; EMPTY: empty texts; TYPICAL: a distinct value per
// field; EXTREME: maximum numbers, long texts with a NUL, long lists.
enum class FillStyle { NIL, EMPTY, TYPICAL, EXTREME };

// Distinct rows; every seventh has no valid IP and every eleventh no valid MAC.
inline std::vector<SaApsInfo::ApInfo> many_ap_rows(size_t count) {
    std::vector<SaApsInfo::ApInfo> rows(count);
    for (size_t i = 0; i < count; ++i) {
        const auto byte = [i](int shift) { return static_cast<unsigned char>(i >> shift); };
        auto& row = rows[i];
        if (i % 11 != 0) {
            row.mac.valid = true;
            row.mac.octets = {0x02, 0x00, byte(24), byte(16), byte(8), byte(0)};
        }
        if (i % 7 != 0) {
            row.ip = {true, {10, byte(16), byte(8), byte(0)}};
        }
        row.device_type = "DEV-" + std::to_string(i % 13);
        row.sw_version = "5.0." + std::to_string(i % 100);
        row.hw_version = i % 3 == 0 ? "" : "rev" + std::to_string(i % 5);
        row.serial = "SN" + std::to_string(1000000 + i);
        row.state = static_cast<uint32_t>(i % 7);
    }
    return rows;
}

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
        } else {
            value = many_ap_rows(typical ? 12 : extreme ? 5000 : style == FillStyle::EMPTY);
            if (extreme) {
                value.back().state = std::numeric_limits<uint32_t>::max();
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
