#pragma once
// Text handling of the trace facility, apart from the class so it can be
// checked on its own.

#include <cstdarg>
#include <cstddef>
#include <ctime>
#include <string>
#include <string_view>

// Shown for a `%r` text while secrets are hidden; the same whatever the text,
// so not even its length leaks.
inline constexpr char kTraceMask[] = "***";

// printf formatting plus `%r` (a const char*, shown when `reveal`, masked
// otherwise). Each conversion is formatted with its own argument, so unknown
// conversions are copied literally and `%n` never writes.
std::string trace_vformat(const char* fmt, va_list args, bool reveal);
std::string trace_format(bool reveal, const char* fmt, ...);

// Keeps at most `limit` bytes (backing off to a UTF-8 boundary) and appends a
// marker with the number of bytes left out.
std::string trace_cut(std::string text, size_t limit);

// Makes `text` safe for one output line: control bytes, DEL and the backslash
// become escapes ("\n", "\r", "\t", "\\", "\xNN").
std::string trace_escape(std::string text);

// "2026-12-06T04:05:06.789+01:00": local time with milliseconds and the offset
// from UTC, the stamp of every line.
inline constexpr size_t kTraceTimeSize = 29;
// Writes the stamp of `at` (CLOCK_REALTIME) to `out`, which holds at least
// kTraceTimeSize bytes; no terminating NUL. The part up to the seconds and the
// offset are worked out once a second per thread.
void trace_time(const timespec& at, char* out);
// The stamp of now.
std::string trace_time_now();
// Tells the stamps that tzset() has loaded another zone, so that the next line
// shows it instead of a zone kept from earlier in the same second.
void trace_time_zone_changed();
