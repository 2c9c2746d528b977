#pragma once
// The process-wide logging facility. One object per process, named after the
// process ("SA"); every line goes through a category that can be switched on
// or off by the trace configuration file. The `_mac` variants name the AP a
// line is about and pass through the MAC filter.

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>

#include "registry/addr.h"

#define DOR_PRINTF(fmt_index) __attribute__((format(printf, fmt_index, fmt_index + 1)))

enum class TraceCategory {
    SYS,
    WARN,
    ERROR,
    CORE,
    AP,
    AP_LIB,
    AP_LIMITED,
    AP_UNSECURE,
    EVENTS,
};
inline constexpr int kTraceCategoryCount = 9;

// Name used in output lines and in the configuration file: "sys", "warn", ...
const char* trace_category_name(TraceCategory category);

// Per-AP selection of `_mac` lines: while enabled, only lines about MACs in the
// set are written. Lines without a MAC are never filtered.
struct TraceMacFilter {
    bool enabled = false;
    std::unordered_set<MacAddr> macs;

    bool lets_through(const MacAddr& mac) const { return !enabled || macs.contains(mac); }
};

struct TraceLine {
    TraceCategory category;
    std::optional<MacAddr> mac;
    std::string text;  // formatted message as written, without time or prefixes
};

class TraceOutput;
struct TraceSettings;

class Trace {
  public:
    explicit Trace(std::string name);
    ~Trace();
    Trace(const Trace&) = delete;
    Trace& operator=(const Trace&) = delete;

    // Process-wide set-up and tear-down. The configuration file is named by
    // DOR_TRACE_CONFIG (default /etc/dor/trace.json); it applies to every live
    // Trace object and to those made later. A bad file at start leaves the
    // defaults and is reported with one warn line. global_deinit closes an
    // output file and sends later lines to standard error.
    static void global_init(const char* process_name);
    static void global_deinit();
    // Re-reads the trace configuration file (on SIGHUP), for every live
    // object. A bad file keeps the running settings, and the warn line says so
    // through them; a missing one brings back the defaults.
    void reload_config();

    // printf formats. `%r` takes a const char* whose text is shown only while
    // the ap_unsecure category is enabled and masked otherwise; the formats of
    // the two ap_unsecure operations may use it, so they are not checked.
    // The ap_unsecure lines themselves follow the ap switch: with ap_unsecure
    // off they are still written, with their secrets masked.
    // ap_limited cuts its text to limited_max() bytes. Every text is written
    // on one line, control characters escaped.
    void sys(const char* fmt, ...) const DOR_PRINTF(2);
    void warn(const char* fmt, ...) const DOR_PRINTF(2);
    void error(const char* fmt, ...) const DOR_PRINTF(2);
    void core(const char* fmt, ...) const DOR_PRINTF(2);
    void ap(const char* fmt, ...) const DOR_PRINTF(2);
    void ap_lib(const char* fmt, ...) const DOR_PRINTF(2);
    void ap_limited(const char* fmt, ...) const DOR_PRINTF(2);
    void ap_unsecure(const char* fmt, ...) const;
    void events(const char* fmt, ...) const DOR_PRINTF(2);

    // A message handed over by a library (libwebsockets' log emitter): its
    // line end would show as a literal "\n", so it is dropped.
    void ap_lib_line(std::string_view line) const;

    void sys_mac(const MacAddr& mac, const char* fmt, ...) const DOR_PRINTF(3);
    void warn_mac(const MacAddr& mac, const char* fmt, ...) const DOR_PRINTF(3);
    void error_mac(const MacAddr& mac, const char* fmt, ...) const DOR_PRINTF(3);
    void core_mac(const MacAddr& mac, const char* fmt, ...) const DOR_PRINTF(3);
    void ap_mac(const MacAddr& mac, const char* fmt, ...) const DOR_PRINTF(3);
    void ap_unsecure_mac(const MacAddr& mac, const char* fmt, ...) const;
    void events_mac(const MacAddr& mac, const char* fmt, ...) const DOR_PRINTF(3);

    bool enabled(TraceCategory category) const;
    void set_enabled(TraceCategory category, bool on);
    size_t limited_max() const { return limited_max_.load(std::memory_order_relaxed); }

    TraceMacFilter& mac_filter() { return filter_; }
    const TraceMacFilter& mac_filter() const { return filter_; }

    // Every line that passes the category switch and the MAC filter is also
    // handed here (tests capture lines this way); an empty function removes it.
    void set_sink(std::function<void(const TraceLine&)> sink);

    const std::string& name() const { return name_; }

    // While held, lines collect in memory and reach the output at
    // flush_held(), when the buffer fills, when the output changes and when
    // holding stops: a single-threaded loop holds them between its waits so
    // that each batch costs one write. The sink still sees every line at once.
    void hold_lines(bool on);
    void flush_held();
    // For a fatal-signal handler: writes what is held without locking or
    // allocating.
    void write_held_on_crash() const noexcept;

  private:
    using Sink = std::function<void(const TraceLine&)>;
    struct Held;

    void write_held_locked() const;
    void hold_line(std::string_view line) const;

    void write(TraceCategory category, const MacAddr* mac, const char* fmt, va_list args) const;
    static void reload_all(bool keep_on_problem);
    void apply(const TraceSettings& settings);
    void set_output(std::shared_ptr<const TraceOutput> output);

    std::string name_;
    std::atomic<bool> enabled_[kTraceCategoryCount];
    std::atomic<size_t> limited_max_;
    // Changed only on the thread that logs, like the service's other state.
    TraceMacFilter filter_;
    mutable std::mutex mu_;  // guards output_ and sink_, swapped by reloads
    std::shared_ptr<const TraceOutput> output_;
    std::shared_ptr<const Sink> sink_;
    std::unique_ptr<Held> held_;  // while holding; guarded by mu_
};
