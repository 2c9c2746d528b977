#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "libs/common/incoming_connections.h"
#include "libs/common/mac_filter_config.h"
#include "libs/common/tools.h"
#include "libs/common/tz_watcher.h"
#include "libs/ipc/messages.h"
#include "libs/trace/trace.h"

namespace {

namespace fs = std::filesystem;

std::vector<std::string> texts_of(const std::vector<MacAddr>& macs) {
    std::vector<std::string> texts;
    for (const MacAddr& mac : macs) {
        EXPECT_TRUE(mac.valid);
        texts.push_back(mac.str());
    }
    return texts;
}

TEST(StringToMacs, Table) {
    struct Case {
        std::string text;
        char separator;
        std::vector<std::string> expected;
    };
    const std::string a = "aa:bb:cc:dd:ee:ff";
    const std::string b = "00:11:22:33:44:55";
    const std::vector<Case> cases = {
        {"", ' ', {}},
        {"   ", ' ', {}},
        {a + " " + b, ' ', {a, b}},
        {"  " + a + "   " + b + " ", ' ', {a, b}},
        {"AA:BB:CC:DD:EE:FF", ' ', {a}},
        {"aabbccddeeff 001122334455", ' ', {a, b}},
        {"AaBbCcDdEeFf", ' ', {a}},
        {"zz:bb:cc:dd:ee:ff " + a + " hello 1234", ' ', {a}},
        {"aa:bb:cc:dd:ee:ff:00 aa-bb-cc-dd-ee-ff aa:bb:cc:dd:ee:f", ' ', {}},
        {a + "," + b, ',', {a, b}},
        {a + "," + b, ' ', {}},
        {",, " + a + " ,,\t" + b + "\n,", ',', {a, b}},
        {a + " " + a, ' ', {a, a}},
        {b + "\t" + a, '\t', {b, a}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(texts_of(tools::string_to_macs(c.text, c.separator)), c.expected)
            << "text '" << c.text << "'";
    }
}

TEST(StringToMacs, AbsentSharedTextIsEmpty) {
    EXPECT_TRUE(tools::string_to_macs(std::shared_ptr<std::string>(), ' ').empty());
}

MacAddr mac(const char* text) {
    const MacAddr m = MacAddr::from_str(text);
    EXPECT_TRUE(m.valid) << text;
    return m;
}

TEST(MacFilterConfig, ReplacesSwitchAndSetAsAWhole) {
    Trace trace("T");
    std::vector<TraceLine> lines;
    trace.set_sink([&](const TraceLine& line) { lines.push_back(line); });
    trace.mac_filter().enabled = true;
    trace.mac_filter().macs = {mac("aa:aa:aa:aa:aa:aa"), mac("bb:bb:bb:bb:bb:bb")};

    struct Step {
        uint8_t enabled;
        std::optional<std::string> macs;  // nullopt: the pointer is empty
        bool expect_enabled;
        std::set<std::string> expect_macs;
    };
    const std::vector<Step> steps = {
        {0, "cc:cc:cc:cc:cc:cc", false, {"cc:cc:cc:cc:cc:cc"}},
        {7, std::nullopt, true, {}},
        {1,
         "AA:AA:AA:AA:AA:AA aaaaaaaaaaaa junk 01:02:03:04:05:06",
         true,
         {"aa:aa:aa:aa:aa:aa", "01:02:03:04:05:06"}},
        {0, "", false, {}},
    };
    for (size_t i = 0; i < steps.size(); ++i) {
        const Step& step = steps[i];
        IPC_MSG__MAC_FILTER_CONFIG msg;
        msg.enabled = step.enabled;
        if (step.macs) {
            msg.macs = make_shared_string(*step.macs);
        }
        lines.clear();
        mac_filter_config(msg, trace);

        EXPECT_EQ(trace.mac_filter().enabled, step.expect_enabled) << "step " << i;
        std::set<std::string> got;
        for (const MacAddr& m : trace.mac_filter().macs) {
            got.insert(m.str());
        }
        EXPECT_EQ(got, step.expect_macs) << "step " << i;

        ASSERT_EQ(lines.size(), 1u) << "step " << i;
        EXPECT_EQ(lines[0].category, TraceCategory::SYS);
        EXPECT_FALSE(lines[0].mac.has_value());
        for (const std::string& text : step.expect_macs) {
            EXPECT_NE(lines[0].text.find(text), std::string::npos) << lines[0].text;
        }
    }
}

TEST(IncomingConnections, Names) {
    struct Case {
        uint32_t mode;
        std::string text;
    };
    const std::vector<Case> cases = {
        {0, "accept"},
        {1, "reject"},
        {2, "reject (maintenance)"},
        {3, "unknown(3)"},
        {4294967295u, "unknown(4294967295)"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IncomingConnectionsToStrX(c.mode), c.text);
    }
}

// Restores TZ and the zone the C library holds when a test ends.
class TzEnvGuard {
  public:
    TzEnvGuard() {
        if (const char* tz = std::getenv("TZ")) {
            saved_ = tz;
        }
    }
    ~TzEnvGuard() {
        if (saved_) {
            setenv("TZ", saved_->c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }

  private:
    std::optional<std::string> saved_;
};

class TZWatcherTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("tzwatch-" + std::to_string(getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        zone_ = dir_ / "localtime";
        write(zone_, "zone one");
    }
    void TearDown() override { fs::remove_all(dir_); }

    static void write(const fs::path& path, const std::string& text) {
        std::ofstream(path, std::ios::trunc) << text;
    }
    static timespec at_ms(int64_t ms) {
        return timespec{static_cast<time_t>(1000 + ms / 1000),
                        static_cast<long>(ms % 1000) * 1000000};
    }

    fs::path dir_;
    fs::path zone_;
};

TEST_F(TZWatcherTest, NoticesFileChangesAtMostOnceASecond) {
    TzEnvGuard guard;
    TZWatcher watcher(zone_.string());

    struct Step {
        const char* what;
        std::function<void()> change;
        int64_t at_ms;
        bool expect;
    };
    const std::vector<Step> steps = {
        {"first look, nothing changed", [] {}, 0, false},
        {"rewritten with other content", [&] { write(zone_, "zone two, longer"); }, 300, false},
        {"same second as the last look", [] {}, 999, false},
        {"a second after the last look", [] {}, 1000, true},
        {"nothing new", [] {}, 2500, false},
        {"replaced by rename, same size",
         [&] {
             write(dir_ / "new", "zone two, LONGER");
             fs::rename(dir_ / "new", zone_);
         },
         3500, true},
        {"removed", [&] { fs::remove(zone_); }, 4500, true},
        {"still absent", [] {}, 5500, false},
        {"recreated", [&] { write(zone_, "zone three"); }, 6500, true},
        {"became a link",
         [&] {
             fs::rename(zone_, dir_ / "zone-a");
             fs::create_symlink(dir_ / "zone-a", zone_);
         },
         6700, false},
        {"a second after the last look, seen", [] {}, 7500, true},
        // The same inode behind another name: only the link text differs.
        {"re-pointed link",
         [&] {
             fs::create_hard_link(dir_ / "zone-a", dir_ / "zone-b");
             fs::remove(zone_);
             fs::create_symlink(dir_ / "zone-b", zone_);
         },
         7600, false},
        {"same second as the last look", [] {}, 8499, false},
        {"re-pointed link, seen", [] {}, 8500, true},
        {"TZ set", [] { setenv("TZ", "UTC0", 1); }, 9500, true},
        {"TZ changed", [] { setenv("TZ", "XYZ-3", 1); }, 10500, true},
    };
    uint64_t expected_reloads = 0;
    for (const Step& step : steps) {
        step.change();
        EXPECT_EQ(watcher.watch_at(at_ms(step.at_ms)), step.expect) << step.what;
        expected_reloads += step.expect ? 1 : 0;
        EXPECT_EQ(watcher.reloads(), expected_reloads) << step.what;
    }

    // The last step re-read TZ "XYZ-3": three hours east of UTC.
    const time_t now = time(nullptr);
    struct tm local {};
    ASSERT_NE(localtime_r(&now, &local), nullptr);
    EXPECT_EQ(local.tm_gmtoff, 3 * 3600);
}

}  // namespace
