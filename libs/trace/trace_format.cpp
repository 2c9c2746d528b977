#include "libs/trace/trace_format.h"

#include <sys/types.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <type_traits>

namespace {

// Bounds a width or a numeric precision so a wild `*` argument cannot make a
// line of gigabytes.
constexpr int kMaxField = 4096;

enum class Length { NONE, HH, H, L, LL, Z, J, T, BIG_L };

struct Conversion {
    std::string flags;
    int width = -1;
    int precision = -1;
    Length length = Length::NONE;
    char conv = '\0';
};

const char* length_text(Length length, bool integer) {
    switch (length) {
        case Length::NONE:
            return "";
        case Length::HH:
            return "hh";
        case Length::H:
            return "h";
        case Length::L:
            return "l";
        case Length::LL:
            return "ll";
        case Length::Z:
            return "z";
        case Length::J:
            return "j";
        case Length::T:
            return "t";
        case Length::BIG_L:
            return integer ? "ll" : "L";
    }
    return "";
}

// The format handed to snprintf for one conversion, with `*` already resolved.
std::string sub_format(const Conversion& c, char conv, bool integer, bool with_length = true) {
    // Appended piece by piece: GCC 12 at -O3 misreports `"." + to_string()` (-Wrestrict).
    std::string format = "%";
    format += c.flags;
    if (c.width >= 0) {
        format += std::to_string(c.width);
    }
    if (c.precision >= 0) {
        format += '.';
        format += std::to_string(c.precision);
    }
    if (with_length) {
        format += length_text(c.length, integer);
    }
    format += conv;
    return format;
}

template <class T>
void emit(std::string& out, const std::string& format, T value) {
    char buf[256];
    int n = std::snprintf(buf, sizeof buf, format.c_str(), value);
    if (n < 0) {
        return;  // e.g. a wide character the C locale cannot show
    }
    if (static_cast<size_t>(n) < sizeof buf) {
        out.append(buf, static_cast<size_t>(n));
        return;
    }
    size_t old = out.size();
    out.resize(old + static_cast<size_t>(n) + 1);
    std::snprintf(out.data() + old, static_cast<size_t>(n) + 1, format.c_str(), value);
    out.resize(old + static_cast<size_t>(n));
}

void emit_signed(std::string& out, const std::string& format, Length length, va_list& args) {
    switch (length) {
        case Length::NONE:
        case Length::HH:
        case Length::H:
            emit(out, format, va_arg(args, int));  // promoted; snprintf narrows
            break;
        case Length::L:
            emit(out, format, va_arg(args, long));
            break;
        case Length::LL:
        case Length::BIG_L:
            emit(out, format, va_arg(args, long long));
            break;
        case Length::Z:
            emit(out, format, va_arg(args, ssize_t));
            break;
        case Length::J:
            emit(out, format, va_arg(args, intmax_t));
            break;
        case Length::T:
            emit(out, format, va_arg(args, ptrdiff_t));
            break;
    }
}

void emit_unsigned(std::string& out, const std::string& format, Length length, va_list& args) {
    switch (length) {
        case Length::NONE:
        case Length::HH:
        case Length::H:
            emit(out, format, va_arg(args, unsigned));
            break;
        case Length::L:
            emit(out, format, va_arg(args, unsigned long));
            break;
        case Length::LL:
        case Length::BIG_L:
            emit(out, format, va_arg(args, unsigned long long));
            break;
        case Length::Z:
            emit(out, format, va_arg(args, size_t));
            break;
        case Length::J:
            emit(out, format, va_arg(args, uintmax_t));
            break;
        case Length::T:
            emit(out, format, va_arg(args, std::make_unsigned_t<ptrdiff_t>));
            break;
    }
}

int read_number(const char*& p) {
    long value = 0;
    while (*p >= '0' && *p <= '9') {
        value = std::min<long>(value * 10 + (*p - '0'), kMaxField);
        ++p;
    }
    return static_cast<int>(value);
}

// Reads flags, width, precision and length after "%"; `*` takes its argument.
Conversion parse_conversion(const char*& p, va_list& args) {
    Conversion c;
    while (*p != '\0' && std::strchr("-+ #0'", *p) != nullptr) {
        c.flags += *p++;
    }
    if (*p == '*') {
        ++p;
        int width = va_arg(args, int);
        if (width < 0) {
            c.flags += '-';
            width = width == INT_MIN ? kMaxField : -width;
        }
        c.width = std::min(width, kMaxField);
    } else if (*p >= '0' && *p <= '9') {
        c.width = read_number(p);
    }
    if (*p == '.') {
        ++p;
        if (*p == '*') {
            ++p;
            c.precision = va_arg(args, int);  // negative: as if none was given
            if (c.precision < 0) {
                c.precision = -1;
            }
        } else {
            c.precision = read_number(p);
        }
    }
    if (p[0] == 'h' && p[1] == 'h') {
        c.length = Length::HH, p += 2;
    } else if (p[0] == 'l' && p[1] == 'l') {
        c.length = Length::LL, p += 2;
    } else if (*p == 'h') {
        c.length = Length::H, ++p;
    } else if (*p == 'l') {
        c.length = Length::L, ++p;
    } else if (*p == 'z') {
        c.length = Length::Z, ++p;
    } else if (*p == 'j') {
        c.length = Length::J, ++p;
    } else if (*p == 't') {
        c.length = Length::T, ++p;
    } else if (*p == 'L') {
        c.length = Length::BIG_L, ++p;
    }
    c.conv = *p;
    return c;
}

// No flags, width, precision or length: what the request path nearly always uses.
bool is_plain(const Conversion& c) {
    return c.flags.empty() && c.width < 0 && c.precision < 0 && c.length == Length::NONE;
}

void emit_text(std::string& out, const Conversion& c, const char* text) {
    if (is_plain(c)) {
        out += text != nullptr ? text : "(null)";
        return;
    }
    emit(out, sub_format(c, 's', false, false), text != nullptr ? text : "(null)");
}

template <class T>
void emit_plain_integer(std::string& out, T value) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out.append(digits, end);
}

}  // namespace

std::string trace_vformat(const char* fmt, va_list args_in, bool reveal) {
    std::string out;
    if (fmt == nullptr) {
        return out;
    }
    va_list args;
    va_copy(args, args_in);
    const char* p = fmt;
    while (*p != '\0') {
        if (*p != '%') {
            const char* next = std::strchr(p, '%');
            size_t n = next != nullptr ? static_cast<size_t>(next - p) : std::strlen(p);
            out.append(p, n);
            p += n;
            continue;
        }
        const char* start = p++;
        Conversion c = parse_conversion(p, args);
        if (c.conv == '\0') {
            out.append(start);  // a format cut short
            break;
        }
        ++p;
        bool numeric = std::strchr("diouxXcp", c.conv) != nullptr;
        if (numeric || std::strchr("fFeEgGaA", c.conv) != nullptr) {
            c.precision = std::min(c.precision, kMaxField);
        }
        switch (c.conv) {
            case '%':
                out += '%';
                break;
            case 'd':
            case 'i':
                if (is_plain(c)) {
                    emit_plain_integer(out, va_arg(args, int));
                    break;
                }
                emit_signed(out, sub_format(c, c.conv, true), c.length, args);
                break;
            case 'u':
                if (is_plain(c)) {
                    emit_plain_integer(out, va_arg(args, unsigned));
                    break;
                }
                emit_unsigned(out, sub_format(c, c.conv, true), c.length, args);
                break;
            case 'o':
            case 'x':
            case 'X':
                emit_unsigned(out, sub_format(c, c.conv, true), c.length, args);
                break;
            case 'c':
                if (c.length == Length::L) {
                    emit(out, sub_format(c, 'c', false), va_arg(args, wint_t));
                } else {
                    emit(out, sub_format(c, 'c', false, false), va_arg(args, int));
                }
                break;
            case 's':
                if (c.length == Length::L) {
                    const wchar_t* wide = va_arg(args, const wchar_t*);
                    emit(out, sub_format(c, 's', false), wide != nullptr ? wide : L"(null)");
                } else {
                    emit_text(out, c, va_arg(args, const char*));
                }
                break;
            case 'r': {
                const char* secret = va_arg(args, const char*);
                if (reveal) {
                    emit_text(out, c, secret);
                } else {
                    c.precision = -1;
                    emit_text(out, c, kTraceMask);
                }
                break;
            }
            case 'p':
                emit(out, sub_format(c, 'p', false, false), va_arg(args, void*));
                break;
            case 'f':
            case 'F':
            case 'e':
            case 'E':
            case 'g':
            case 'G':
            case 'a':
            case 'A':
                if (c.length == Length::BIG_L) {
                    emit(out, sub_format(c, c.conv, false), va_arg(args, long double));
                } else {
                    emit(out, sub_format(c, c.conv, false, false), va_arg(args, double));
                }
                break;
            case 'n':
                // Never write through the argument; show the mistake instead.
                (void)va_arg(args, void*);
                out.append(start, p);
                break;
            default:
                out.append(start, p);  // unknown: its argument type is unknown too
                break;
        }
    }
    va_end(args);
    return out;
}

std::string trace_format(bool reveal, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    std::string text = trace_vformat(fmt, args, reveal);
    va_end(args);
    return text;
}

std::string trace_cut(std::string text, size_t limit) {
    if (text.size() <= limit) {
        return text;
    }
    size_t keep = limit;
    for (int i = 0; i < 3 && keep > 0 && (static_cast<unsigned char>(text[keep]) & 0xC0) == 0x80;
         ++i) {
        --keep;
    }
    size_t left_out = text.size() - keep;
    text.resize(keep);
    text += "... [" + std::to_string(left_out) + " bytes left out]";
    return text;
}

std::string trace_escape(std::string text) {
    const auto plain = [](char ch) {
        const auto byte = static_cast<unsigned char>(ch);
        return byte >= 0x20 && byte != 0x7f && byte != '\\';
    };
    const auto first = std::find_if_not(text.begin(), text.end(), plain);
    if (first == text.end()) {
        return text;  // nearly every line
    }
    std::string out(text.begin(), first);
    out.reserve(text.size() + 16);
    for (auto it = first; it != text.end(); ++it) {
        const char ch = *it;
        auto byte = static_cast<unsigned char>(ch);
        switch (byte) {
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\\':
                out += "\\\\";
                break;
            default:
                if (byte < 0x20 || byte == 0x7f) {
                    static const char kHex[] = "0123456789abcdef";
                    out += "\\x";
                    out += kHex[byte >> 4];
                    out += kHex[byte & 0xF];
                } else {
                    out += ch;
                }
        }
    }
    return out;
}

namespace {

// Bumped by every zone change; each thread's cached second remembers which
// zone it was made in.
std::atomic<unsigned> zone_generation{0};

constexpr size_t kSecondsSize = 19;  // "2026-12-06T04:05:06"
constexpr size_t kZoneSize = 6;      // "+01:00"

void two_digits(char* out, long value) {
    out[0] = static_cast<char>('0' + value / 10 % 10);
    out[1] = static_cast<char>('0' + value % 10);
}

}  // namespace

void trace_time(const timespec& at, char* out) {
    // Local time conversion costs more than the rest of a line: done once a
    // second, and again when the zone changes.
    thread_local time_t made_for = -1;
    thread_local unsigned made_in = 0;
    thread_local char seconds[kSecondsSize];
    thread_local char zone[kZoneSize];
    const unsigned generation = zone_generation.load(std::memory_order_relaxed);
    if (at.tv_sec != made_for || generation != made_in) {
        tm local{};
        localtime_r(&at.tv_sec, &local);
        // Years past 9999 are cut: the stamp keeps its width.
        char text[80];
        std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d",
                      (local.tm_year + 1900) % 10000, local.tm_mon + 1, local.tm_mday,
                      local.tm_hour, local.tm_min, local.tm_sec);
        std::memcpy(seconds, text, kSecondsSize);
        const long offset_min = local.tm_gmtoff / 60;
        const long abs_min = offset_min < 0 ? -offset_min : offset_min;
        zone[0] = offset_min < 0 ? '-' : '+';
        two_digits(zone + 1, abs_min / 60);
        zone[3] = ':';
        two_digits(zone + 4, abs_min % 60);
        made_for = at.tv_sec;
        made_in = generation;
    }
    std::memcpy(out, seconds, kSecondsSize);
    const long ms = at.tv_nsec / 1000000;
    out[kSecondsSize] = '.';
    out[kSecondsSize + 1] = static_cast<char>('0' + ms / 100);
    two_digits(out + kSecondsSize + 2, ms % 100);
    std::memcpy(out + kSecondsSize + 4, zone, kZoneSize);
}

std::string trace_time_now() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    char text[kTraceTimeSize];
    trace_time(now, text);
    return {text, kTraceTimeSize};
}

void trace_time_zone_changed() {
    zone_generation.fetch_add(1, std::memory_order_relaxed);
}
