#pragma once
// Field values for IPC tests, filled generically through visit_fields so that
// every message class gets the same treatment.

#include <cstdint>
#include <limits>
#include <string>
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

struct FieldFiller {
    FillStyle style;
    uint32_t counter = 0;

    void fill(SharedString& value) {
        ++counter;
        value = style == FillStyle::NIL     ? nullptr
                : style == FillStyle::EMPTY ? make_shared_string("")
                : style == FillStyle::TYPICAL
                    ? make_shared_string("text-" + std::to_string(counter) + " é\n\"")
                    : make_shared_string(std::string(100000 + counter, 'x') + '\0');
    }
    void fill(uint32_t& value) {
        ++counter;
        value = style == FillStyle::EXTREME   ? std::numeric_limits<uint32_t>::max()
                : style == FillStyle::TYPICAL ? 1000 * counter
                                              : 0;
    }
    void fill(uint8_t& value) {
        ++counter;
        value = style == FillStyle::EXTREME ? 255 : style == FillStyle::TYPICAL ? 1 : 0;
    }
    void fill(bool& value) { value = style == FillStyle::EXTREME || style == FillStyle::TYPICAL; }
    void fill(std::vector<uint32_t>& values) {
        values = style == FillStyle::TYPICAL   ? std::vector<uint32_t>{2, 25, 164}
                 : style == FillStyle::EXTREME ? std::vector<uint32_t>{0, UINT32_MAX}
                                               : std::vector<uint32_t>{};
    }
    void fill(std::vector<SaApsInfo::ApInfo>& rows) {
        rows = many_ap_rows(style == FillStyle::TYPICAL   ? 12
                            : style == FillStyle::EXTREME ? 5000
                            : style == FillStyle::EMPTY   ? 1
                                                          : 0);
        if (style == FillStyle::EXTREME) {
            rows.back().state = std::numeric_limits<uint32_t>::max();
        }
    }
};

template <class M>
void fill_fields(M& msg, FillStyle style) {
    FieldFiller filler{style};
    msg.visit_fields([&](auto&... fields) { (filler.fill(fields), ...); });
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
