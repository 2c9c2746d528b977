#pragma once
// Keeps the C library's idea of the local time zone current while the process
// runs for months: the administrator may change /etc/localtime (or TZ) at any
// time, and localtime_r only re-reads it after tzset(). Trace line stamps
// follow at once.

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

class TZWatcher {
  public:
    explicit TZWatcher(std::string localtime_path = "/etc/localtime");

    // Called every main-loop turn; looks at most once a second. True when a
    // change was seen and tzset() was called.
    bool watch();
    // Same with the caller's CLOCK_MONOTONIC reading.
    bool watch_at(const timespec& now);

    // How many times a change was seen since construction.
    uint64_t reloads() const { return reloads_; }

  private:
    // What identifies the zone in force: TZ and the file (or link) behind it.
    struct ZoneId {
        std::optional<std::string> tz;
        bool file_exists = false;
        dev_t dev = 0;
        ino_t ino = 0;
        off_t size = 0;
        timespec mtime{};
        std::string link_target;

        bool operator==(const ZoneId& other) const;
    };
    ZoneId current() const;

    std::string path_;
    ZoneId seen_;
    std::optional<int64_t> last_look_ns_;
    uint64_t reloads_ = 0;
};
