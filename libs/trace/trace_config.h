#pragma once
// The trace configuration file and the output it names.

#include <array>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "libs/trace/trace.h"

// Where lines go; an opened file is closed when the last holder lets go, so a
// line being written during a reload still has its descriptor.
class TraceOutput {
  public:
    static std::shared_ptr<const TraceOutput> standard_error();
    static std::shared_ptr<const TraceOutput> standard_output();
    // Appends to `path`, creating it; null with errno set on failure.
    static std::shared_ptr<const TraceOutput> open_file(const std::string& path);

    explicit TraceOutput(int fd, bool owned) : fd_(fd), owned_(owned) {}
    ~TraceOutput();
    TraceOutput(const TraceOutput&) = delete;
    TraceOutput& operator=(const TraceOutput&) = delete;

    // Writes the whole line, retrying short writes and interruptions.
    void write_line(std::string_view line) const { write_all(fd_, line); }
    // The same on any descriptor; async-signal-safe.
    static void write_all(int fd, std::string_view text) noexcept;
    int fd() const { return fd_; }

  private:
    int fd_;
    bool owned_;
};

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
// problem.
TraceConfigLoad load_trace_config(const std::string& path);
