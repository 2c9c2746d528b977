#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "libs/backtrace/backtrace.h"
#include "libs/common/mac_filter_config.h"
#include "libs/common/tools.h"
#include "libs/common/tz_watcher.h"
#include "libs/ipc/messages.h"
#include "libs/trace/trace.h"

namespace {

namespace fs = std::filesystem;

TEST(StringToMacs, Table) {
    const std::string a = "aa:bb:cc:dd:ee:ff";
    const std::string b = "00:11:22:33:44:55";
    // text, separator, the MACs found
    const std::vector<std::tuple<std::string, char, std::vector<std::string>>> cases = {
        {"   ", ' ', {}},
        {"  " + a + "   " + b + " ", ' ', {a, b}},
        {"AA:BB:CC:DD:EE:FF " + a, ' ', {a, a}},
        {"AaBbCcDdEeFf 001122334455", ' ', {a, b}},
        {"zz:bb:cc:dd:ee:ff " + a + " hello 1234", ' ', {a}},
        {"aa:bb:cc:dd:ee:ff:00 aa-bb-cc-dd-ee-ff aa:bb:cc:dd:ee:f", ' ', {}},
        {a + "," + b, ' ', {}},
        {",, " + a + " ,,\t" + b + "\n,", ',', {a, b}},
        {b + "\t" + a, '\t', {b, a}},
    };
    for (const auto& [text, separator, expected] : cases) {
        std::vector<std::string> found;
        for (const MacAddr& mac : tools::string_to_macs(text, separator)) {
            found.push_back(mac.valid ? mac.str() : "invalid");
        }
        EXPECT_EQ(found, expected) << "text '" << text << "'";
    }
    EXPECT_TRUE(tools::string_to_macs(std::shared_ptr<std::string>(), ' ').empty());
}

TEST(MacFilterConfig, ReplacesSwitchAndSetAsAWhole) {
    Trace trace("T");
    std::vector<TraceLine> lines;
    trace.set_sink([&](const TraceLine& line) { lines.push_back(line); });
    trace.mac_filter() = {true, {MacAddr::from_str("bb:bb:bb:bb:bb:bb")}};
    // switch, MAC list (nullopt: nil), the line logged
    const std::vector<std::tuple<uint8_t, std::optional<std::string>, std::string>> steps = {
        {0, "cc:cc:cc:cc:cc:cc", "disabled, 1 MAC(s) [cc:cc:cc:cc:cc:cc]"},
        {7, std::nullopt, "enabled, 0 MAC(s) []"},
        {1, "AA:AA:AA:AA:AA:AA aaaaaaaaaaaa junk 01:02:03:04:05:06",
         "enabled, 2 MAC(s) [01:02:03:04:05:06 aa:aa:aa:aa:aa:aa]"},
    };
    for (const auto& [enabled, macs, logged] : steps) {
        SCOPED_TRACE(logged);
        IPC_MSG__MAC_FILTER_CONFIG msg;
        msg.enabled = enabled;
        msg.macs = macs ? make_shared_string(*macs) : nullptr;
        lines.clear();
        mac_filter_config(msg, trace);
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].category, TraceCategory::SYS);
        EXPECT_EQ(lines[0].text, "MAC filter config: " + logged);
        // The set holds exactly the MACs the line lists.
        EXPECT_EQ(trace.mac_filter().enabled, enabled != 0);
        const size_t count = trace.mac_filter().macs.size();
        EXPECT_NE(logged.find(", " + std::to_string(count) + " MAC(s)"), std::string::npos);
        for (const MacAddr& mac : trace.mac_filter().macs) {
            EXPECT_NE(logged.find(mac.str()), std::string::npos) << mac.str();
        }
    }
}

TEST(TZWatcher, NoticesZoneChangesAtMostOnceASecond) {
    const fs::path dir = fs::temp_directory_path() / ("tzwatch-" + std::to_string(getpid()));
    const fs::path zone = dir / "localtime";
    const auto write = [](const fs::path& path, const std::string& text) {
        std::ofstream(path, std::ios::trunc) << text;
    };
    fs::create_directories(dir);
    write(zone, "zone one");
    TZWatcher watcher(zone.string());
    // what, the change, when the watcher looks (ms), whether it sees a change
    const std::vector<std::tuple<const char*, std::function<void()>, int64_t, bool>> steps = {
        {"first look, nothing changed", [] {}, 0, false},
        {"rewritten, same second as the last look", [&] { write(zone, "zone two, longer"); }, 999,
         false},
        {"a second after the last look", [] {}, 1000, true},
        {"nothing new", [] {}, 2500, false},
        {"replaced by rename, same size",
         [&] {
             write(dir / "new", "zone two, LONGER");
             fs::rename(dir / "new", zone);
         },
         3500, true},
        {"removed", [&] { fs::remove(zone); }, 4500, true},
        {"still absent", [] {}, 5500, false},
        {"recreated", [&] { write(zone, "zone three"); }, 6500, true},
        // The same inode behind a link: only the link text differs.
        {"became a link",
         [&] {
             fs::create_hard_link(zone, dir / "zone-b");
             fs::remove(zone);
             fs::create_symlink(dir / "zone-b", zone);
         },
         7500, true},
        {"TZ set", [] { setenv("TZ", "XYZ-3", 1); }, 8500, true},
    };
    uint64_t expected_reloads = 0;
    for (const auto& [what, change, at_ms, seen] : steps) {
        change();
        const timespec at{static_cast<time_t>(1000 + at_ms / 1000),
                          static_cast<long>(at_ms % 1000) * 1000000};
        EXPECT_EQ(watcher.watch_at(at), seen) << what;
        expected_reloads += seen ? 1 : 0;
        EXPECT_EQ(watcher.reloads(), expected_reloads) << what;
    }
    // The last step re-read TZ "XYZ-3": three hours east of UTC.
    const time_t now = time(nullptr);
    struct tm local {};
    ASSERT_NE(localtime_r(&now, &local), nullptr);
    EXPECT_EQ(local.tm_gmtoff, 3 * 3600);
    fs::remove_all(dir);
}

// Deep enough to run off any stack; the volatile buffer keeps each frame real.
int recurse(volatile char* previous, long depth) {
    volatile char frame[512];
    frame[0] = static_cast<char>(previous != nullptr ? previous[0] + 1 : 0);
    return depth == 0 ? frame[0] : recurse(frame, depth - 1) + frame[1];
}

void init_as(const char* name) {
    std::string path = std::string("/opt/dor/bin/") + (name != nullptr ? name : "");
    char* argv[] = {path.data(), nullptr};
    dor2kmt_backtrace_init(name != nullptr ? argv : nullptr);
}

TEST(Backtrace, ReportsAndDiesOfTheSignal) {
    // what, program name (null: argv itself is null, shown as "?"), signal, crash
    const std::vector<std::tuple<const char*, const char*, int, void (*)()>> cases = {
        {"abort", "crasher", SIGABRT, [] { abort(); }},
        {"raised, null argv", nullptr, SIGFPE, [] { raise(SIGFPE); }},
        {"stack overflow", "crasher", SIGSEGV, [] { recurse(nullptr, 1L << 40); }},
    };
    for (const auto& [what, name, signal, crash] : cases) {
        SCOPED_TRACE(what);
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        const pid_t pid = fork();
        if (pid == 0) {
            dup2(fds[1], STDERR_FILENO);
            rlimit no_core{0, 0};
            setrlimit(RLIMIT_CORE, &no_core);
            alarm(20);  // a hung child must not hang the test
            init_as("first");
            init_as(name);  // a second init only renames
            dor2kmt_backtrace_set_last_words([] {
                if (write(STDERR_FILENO, "last words\n", 11) < 0) {
                    _exit(3);
                }
            });
            crash();
            _exit(0);
        }
        close(fds[1]);
        std::string err;
        char buffer[4096];
        for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) {
            err.append(buffer, static_cast<size_t>(n));
        }
        close(fds[0]);
        int status = 0;
        waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << "status " << status;
        EXPECT_EQ(WTERMSIG(status), signal);
        const std::string cause =
            "fatal signal " + std::to_string(signal) + " (SIG" + sigabbrev_np(signal) + ")";
        // The process's last words come before the report.
        EXPECT_EQ(err.find(std::string("last words\n*** ") + (name ? name : "?") + " [pid "), 0u)
            << err;
        EXPECT_NE(err.find(cause), std::string::npos) << err;
        EXPECT_EQ(err.find("/opt/dor/bin"), std::string::npos) << err;
        EXPECT_EQ(err.find("first"), std::string::npos) << err;
        // At least one frame line between the head and the end marker.
        const size_t end = err.find("*** end of backtrace\n");
        ASSERT_NE(end, std::string::npos) << err;
        EXPECT_GT(end, err.find('\n') + 1);
    }
}

}  // namespace
