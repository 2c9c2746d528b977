#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

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

}  // namespace
