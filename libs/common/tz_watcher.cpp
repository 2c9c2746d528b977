#include "libs/common/tz_watcher.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <utility>

#include "libs/trace/trace_format.h"

namespace {

constexpr int64_t kLookIntervalNs = 1'000'000'000;

int64_t to_ns(const timespec& t) {
    return int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
}

}  // namespace

bool TZWatcher::ZoneId::operator==(const ZoneId& other) const {
    return tz == other.tz && file_exists == other.file_exists && dev == other.dev &&
           ino == other.ino && size == other.size && mtime.tv_sec == other.mtime.tv_sec &&
           mtime.tv_nsec == other.mtime.tv_nsec && link_target == other.link_target;
}

TZWatcher::TZWatcher(std::string localtime_path) : path_(std::move(localtime_path)) {
    seen_ = current();
    tzset();
    trace_time_zone_changed();
}

TZWatcher::ZoneId TZWatcher::current() const {
    ZoneId id;
    if (const char* tz = std::getenv("TZ")) {
        id.tz = tz;
    }
    struct stat st {};
    if (::stat(path_.c_str(), &st) == 0) {
        id.file_exists = true;
        id.dev = st.st_dev;
        id.ino = st.st_ino;
        id.size = st.st_size;
        id.mtime = st.st_mtim;
    }
    // A re-pointed link may land on a file that looks like the old one.
    char target[512];
    const ssize_t n = ::readlink(path_.c_str(), target, sizeof target);
    if (n > 0) {
        id.link_target.assign(target, static_cast<size_t>(n));
    }
    return id;
}

bool TZWatcher::watch() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return watch_at(now);
}

bool TZWatcher::watch_at(const timespec& now) {
    const int64_t now_ns = to_ns(now);
    if (last_look_ns_ && now_ns - *last_look_ns_ < kLookIntervalNs) {
        return false;
    }
    last_look_ns_ = now_ns;
    ZoneId id = current();
    if (id == seen_) {
        return false;
    }
    seen_ = std::move(id);
    tzset();
    // Line stamps keep the zone for the rest of the second otherwise.
    trace_time_zone_changed();
    ++reloads_;
    return true;
}
