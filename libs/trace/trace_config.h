#pragma once
// The trace configuration file and the output it names.

#include <sys/uio.h>

#include <array>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "libs/trace/trace.h"

// One line as an output gets it.
struct TraceRecord {
    TraceCategory category;
    const MacAddr* mac;     // null when the line is about no AP
    std::string_view line;  // stamp, name, category, MAC, text and '\n'
    size_t message_at;      // where the part after the stamp begins
};

// Where lines go: a descriptor that takes them as text, or a system log that
// stamps them itself and keeps the category and MAC as fields. An output is
// released when its last holder lets go, so a line being written during a
// reload still has its descriptor.
class TraceOutput {
  public:
    static std::shared_ptr<const TraceOutput> standard_error();
    static std::shared_ptr<const TraceOutput> standard_output();
    // Appends to `path`, creating it; null with errno set on failure.
    static std::shared_ptr<const TraceOutput> open_file(const std::string& path);
    // The systemd journal and syslog; `identifier` names the process there.
    static std::shared_ptr<const TraceOutput> journal(const std::string& identifier);
    static std::shared_ptr<const TraceOutput> syslog(const std::string& identifier);

    TraceOutput() = default;
    virtual ~TraceOutput() = default;
    TraceOutput(const TraceOutput&) = delete;
    TraceOutput& operator=(const TraceOutput&) = delete;

    // The descriptor text lines go to; -1 for a system log, whose lines are
    // never held.
    virtual int fd() const { return -1; }
    virtual void write(const TraceRecord& record) const = 0;
    // Writes the whole text, retrying short writes and interruptions;
    // async-signal-safe.
    static void write_all(int fd, std::string_view text) noexcept;
};

// The syslog priority of a category, also the journal's PRIORITY.
int trace_priority(TraceCategory category);

// Journal fields beside MESSAGE, PRIORITY and SYSLOG_IDENTIFIER.
inline constexpr char kTraceJournalCategory[] = "DOR_CATEGORY";
inline constexpr char kTraceJournalMac[] = "DOR_MAC";

// What the journal and syslog outputs hand their lines to. Tests put fakes
// here; an output keeps the ones in force when it was made.
struct TraceSystemSenders {
    using journal_type = std::function<int(const iovec* fields, int count)>;
    using syslog_type = std::function<void(int priority, const char* message)>;
    journal_type journal;  // sd_journal_sendv
    syslog_type syslog;    // syslog(3)
};
// Empty members stand for the real functions.
void trace_set_system_senders(TraceSystemSenders senders);

struct TraceSettings {
    std::array<bool, kTraceCategoryCount> enabled;
    std::shared_ptr<const TraceOutput> output;
    size_t limited_max = 1024;

    // Every category on except ap_unsecure, standard error.
    static TraceSettings defaults();
};

struct TraceConfigLoad {
    TraceSettings settings;
    std::string problem;  // empty when the file was good or absent
};

inline constexpr char kTraceConfigEnv[] = "DOR_TRACE_CONFIG";
inline constexpr char kTraceConfigDefaultPath[] = "/etc/dor/trace.json";

// The file named by DOR_TRACE_CONFIG, else the default path.
std::string trace_config_path();

// A missing file gives the defaults silently; a bad one the defaults and the
// problem. `identifier` names the process in the journal or syslog.
TraceConfigLoad load_trace_config(const std::string& path, const std::string& identifier);
