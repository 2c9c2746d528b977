#pragma once
// CPU time a process has used so far, as the kernel accounts it: clock ticks
// from /proc/<pid>/stat and nanoseconds on a CPU from /proc/<pid>/schedstat.

#include <cstdint>
#include <optional>
#include <string_view>

struct CpuSample {
    uint64_t ticks = 0;   // utime + stime
    uint64_t run_ns = 0;  // time on a CPU
};

std::optional<CpuSample> sample_cpu(int pid);

// utime + stime of a stat line; the command name may hold blanks and parentheses.
std::optional<uint64_t> stat_cpu_ticks(std::string_view stat_line);
// The first number of a schedstat line.
std::optional<uint64_t> schedstat_run_ns(std::string_view line);
