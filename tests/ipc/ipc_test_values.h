#pragma once
// Field values for IPC tests, filled generically through visit_fields so that
// every message class gets the same treatment.

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "libs/ipc/imsg.h"

enum class FillStyle { NIL, EMPTY, TYPICAL, EXTREME };
inline constexpr FillStyle kAllFillStyles[] = {FillStyle::NIL, FillStyle::EMPTY, FillStyle::TYPICAL,
                                               FillStyle::EXTREME};

inline const char* fill_style_name(FillStyle style) {
    switch (style) {
        case FillStyle::NIL:
            return "nil texts, zero numbers";
        case FillStyle::EMPTY:
            return "empty texts";
        case FillStyle::TYPICAL:
            return "typical values";
        case FillStyle::EXTREME:
            return "maximum numbers, long texts and lists";
    }
    return "?";
}

// Distinct rows; every seventh has no valid IP and every eleventh no valid MAC.
inline std::vector<SaApsInfo::ApInfo> many_ap_rows(size_t count) {
    std::vector<SaApsInfo::ApInfo> rows(count);
    for (size_t i = 0; i < count; ++i) {
        auto& row = rows[i];
        if (i % 11 != 0) {
            row.mac.valid = true;
            row.mac.octets = {0x02,
                              0x00,
                              static_cast<unsigned char>(i >> 24),
                              static_cast<unsigned char>(i >> 16),
                              static_cast<unsigned char>(i >> 8),
                              static_cast<unsigned char>(i)};
        }
        if (i % 7 != 0) {
            row.ip.valid = true;
            row.ip.octets = {10, static_cast<unsigned char>(i >> 16),
                             static_cast<unsigned char>(i >> 8), static_cast<unsigned char>(i)};
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
        switch (style) {
            case FillStyle::NIL:
                value.reset();
                break;
            case FillStyle::EMPTY:
                value = make_shared_string("");
                break;
            case FillStyle::TYPICAL:
                value = make_shared_string("text-" + std::to_string(counter) + " é\n\"");
                break;
            case FillStyle::EXTREME:
                value =
                    make_shared_string(std::string(100000 + counter, 'x') + std::string(1, '\0'));
                break;
        }
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
        values.clear();
        if (style == FillStyle::TYPICAL) {
            values = {2, 25, 164};
        } else if (style == FillStyle::EXTREME) {
            values = {0, std::numeric_limits<uint32_t>::max()};
        }
    }
    void fill(std::vector<SaApsInfo::ApInfo>& rows) {
        rows = style == FillStyle::TYPICAL   ? many_ap_rows(12)
               : style == FillStyle::EXTREME ? many_ap_rows(5000)
               : style == FillStyle::EMPTY   ? many_ap_rows(1)
                                             : std::vector<SaApsInfo::ApInfo>{};
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
