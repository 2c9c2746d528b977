#include "libs/trace/trace.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "libs/trace/trace_config.h"
#include "libs/trace/trace_format.h"

namespace {

namespace fs = std::filesystem;
using C = TraceCategory;

const MacAddr kMacA = MacAddr::from_str("00:11:22:33:44:55");
const MacAddr kMacB = MacAddr::from_str("66:77:88:99:aa:bb");

std::string read_text(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// `at` in the zone in force, to the second, as a stamp begins.
std::string local_text(time_t at) {
    tm local{};
    localtime_r(&at, &local);
    char text[32];
    return std::string(text, strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local));
}

void redirected(int fd, const fs::path& to, const std::function<void()>& body) {
    const int saved = ::dup(fd);
    const int file = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ::dup2(file, fd);
    ::close(file);
    body();
    ::dup2(saved, fd);
    ::close(saved);
}

class TraceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(dir_);
        ::setenv("DOR_TRACE_CONFIG", config_.c_str(), 1);
        configure("");
        Trace::global_init("trace_test");
        trace_ = std::make_unique<Trace>("SA");
        trace_->set_sink([this](const TraceLine& line) { lines_.push_back(line); });
    }
    void TearDown() override {
        trace_.reset();
        Trace::global_deinit();
        ::unsetenv("DOR_TRACE_CONFIG");
        fs::remove_all(dir_);
    }

    void configure(const std::string& members) {
        std::ofstream(config_) << R"({"output":")" + out_.string() + "\"" + members + "}";
    }
    std::vector<std::string> texts() const {
        std::vector<std::string> out;
        for (const TraceLine& line : lines_) {
            out.push_back(line.text);
        }
        return out;
    }

    const fs::path dir_ = fs::temp_directory_path() / ("trace-test-" + std::to_string(getpid()));
    const fs::path config_ = dir_ / "trace.json";
    const fs::path out_ = dir_ / "out.log";
    std::unique_ptr<Trace> trace_;
    std::vector<TraceLine> lines_;
};

TEST_F(TraceTest, MacFilterTable) {
    // filter on, MAC in the set, line names a MAC, written
    const std::vector<std::tuple<bool, bool, bool, bool>> cases = {{false, false, true, true},
                                                                   {true, false, true, false},
                                                                   {true, true, true, true},
                                                                   {true, false, false, true}};
    trace_->mac_filter().macs = {kMacB};
    for (const auto& [filter_on, in_set, with_mac, written] : cases) {
        SCOPED_TRACE(testing::Message() << filter_on << in_set << with_mac);
        lines_.clear();
        trace_->mac_filter().enabled = filter_on;
        const MacAddr& about = in_set ? kMacB : kMacA;
        with_mac ? trace_->core_mac(about, "tracking") : trace_->core("tracking");
        ASSERT_EQ(lines_.size(), written ? 1u : 0u);
        if (written && with_mac) {
            EXPECT_EQ(lines_[0].mac, about);
        }
    }
}

// ap_unsecure lines follow the ap switch; their secrets show only while ap_unsecure is on.
TEST_F(TraceTest, CategorySwitchesTable) {
    struct Op {
        std::function<void(const Trace&)> log;
        C category, gate;
        bool secret, with_mac;
    };
    const std::vector<Op> operations = {
        {[](auto& t) { t.sys("x"); }, C::SYS, C::SYS, false, false},
        {[](auto& t) { t.warn("x"); }, C::WARN, C::WARN, false, false},
        {[](auto& t) { t.error("x"); }, C::ERROR, C::ERROR, false, false},
        {[](auto& t) { t.core("x"); }, C::CORE, C::CORE, false, false},
        {[](auto& t) { t.ap("x"); }, C::AP, C::AP, false, false},
        {[](auto& t) { t.ap_lib("x"); }, C::AP_LIB, C::AP_LIB, false, false},
        {[](auto& t) { t.ap_limited("x"); }, C::AP_LIMITED, C::AP_LIMITED, false, false},
        {[](auto& t) { t.ap_unsecure("x%r", "pw"); }, C::AP_UNSECURE, C::AP, true, false},
        {[](auto& t) { t.ap_unsecure_mac(kMacA, "x%r", "pw"); }, C::AP_UNSECURE, C::AP, true, true},
        {[](auto& t) { t.events_mac(kMacA, "x"); }, C::EVENTS, C::EVENTS, false, true},
    };
    for (int off = 0; off < kTraceCategoryCount; ++off) {
        for (int i = 0; i < kTraceCategoryCount; ++i) {
            trace_->set_enabled(static_cast<C>(i), i != off);
        }
        for (const auto& [log, category, gate, secret, with_mac] : operations) {
            SCOPED_TRACE(std::string(trace_category_name(category)) + " with " +
                         trace_category_name(static_cast<C>(off)) + " off");
            lines_.clear();
            log(*trace_);
            ASSERT_EQ(lines_.size(), gate == static_cast<C>(off) ? 0u : 1u);
            if (!lines_.empty()) {
                EXPECT_EQ(lines_[0].category, category);
                const std::string pw = static_cast<C>(off) == C::AP_UNSECURE ? kTraceMask : "pw";
                EXPECT_EQ(lines_[0].text, secret ? "x" + pw : "x");
                EXPECT_EQ(lines_[0].mac.has_value(), with_mac);
            }
        }
    }
}

TEST(TraceFormatTest, OrdinaryConversionsMatchSnprintf) {
    int local = 0;
// The C library's own output is the reference.
#define FORMAT_CASE(...)                                                          \
    std::pair {                                                                   \
        trace_format(false, __VA_ARGS__), [&] {                                   \
            char buf[512];                                                        \
            return std::string(buf, std::snprintf(buf, sizeof buf, __VA_ARGS__)); \
        }()                                                                       \
    }
    const std::vector<std::pair<std::string, std::string>> cases = {
        FORMAT_CASE("100%% %d|%i|%+05d|% d|%-6i|%u|%s|", INT_MIN, -42, 42, 7, -7, UINT_MAX, ""),
        // Negative promoted values show whether the length modifier was kept.
        FORMAT_CASE("%hhd|%hhu|%hd|%hx|%hhx", static_cast<signed char>(-56),
                    static_cast<unsigned char>(200), static_cast<short>(-300),
                    static_cast<short>(-1), static_cast<signed char>(-1)),
        FORMAT_CASE("%ld|%lu|%lld|%llu", LONG_MIN, ULONG_MAX, LLONG_MIN, ULLONG_MAX),
        FORMAT_CASE("%zu|%zd|%jd|%ju|%td", SIZE_MAX, static_cast<ssize_t>(-5), INTMAX_MIN,
                    UINTMAX_MAX, static_cast<ptrdiff_t>(-123456789)),
        FORMAT_CASE("%o|%#o|%x|%#X|%08x|%.3d|%8.3d|%-8.3x|", 8u, 8u, 0xbeefu, 0xbeefu, 0x1fu, 7, -7,
                    0xau),
        FORMAT_CASE("%f|%.2f|%08.3f|%+.1F|%5.1f%%", 3.14159, 2.005, -3.14159, 1e10, 99.5),
        FORMAT_CASE("%e|%.0E|%g|%G|%#g|%a|%.2A", 12345.678, 0.000123, 0.0001, 1e20, 1.0, 1.0, -0.1),
        FORMAT_CASE("%Lf|%.3Lg", static_cast<long double>(1.5), static_cast<long double>(1e-7)),
        FORMAT_CASE("%c|%5c|%-3c|%.2s|%-8s|%8s|%lc|%ls", 'x', 'y', 'z', "abcdef", "l", "r",
                    static_cast<wint_t>(L'w'), L"wide"),
        FORMAT_CASE("%*d|%*d|%*.*f|%.*s|%.*d", 5, 42, -5, 42, 10, 3, 3.14159, 3, "abcdef", -1, 7),
        FORMAT_CASE("%p|%p", static_cast<void*>(&local), static_cast<void*>(nullptr)),
    };
#undef FORMAT_CASE
    for (const auto& [ours, expected] : cases) {
        EXPECT_EQ(ours, expected);
    }
}

TEST(TraceFormatTest, OwnConversionsTable) {
    int count = -1;
    const std::string mask = kTraceMask;
    const std::vector<std::pair<std::string, std::string>> cases = {
        {trace_format(true, "pw=%r.", "abc"), "pw=abc."},
        {trace_format(false, "pw=%r.", "abc"), "pw=" + mask + "."},
        {trace_format(true, "[%5r]", "ab"), "[   ab]"},
        {trace_format(false, "[%.1r]", "abc"), "[" + mask + "]"},
        {trace_format(true, "%r", static_cast<const char*>(nullptr)), "(null)"},
        {trace_format(false, "%s", static_cast<const char*>(nullptr)), "(null)"},
        {trace_format(false, "ab%nc", &count), "ab%nc"},
        {trace_format(false, "%y %d", 5), "%y 5"},
        {trace_format(false, "100%"), "100%"},
        {trace_format(false, "x%-0"), "x%-0"},
    };
    for (const auto& [ours, expected] : cases) {
        EXPECT_EQ(ours, expected);
    }
    EXPECT_EQ(count, -1);
    // A wild width argument is bounded instead of making a huge line.
    std::string wide = trace_format(false, "%*d", 1 << 30, 1);
    EXPECT_LT(wide.size(), 100000u);
    EXPECT_EQ(wide.back(), '1');
}

TEST_F(TraceTest, ApLimitedCutsLongTexts) {
    // limit, text, bytes kept before the marker
    const std::vector<std::tuple<size_t, std::string, size_t>> cases = {
        {100, std::string(250, 'x'), 100},
        {100, std::string(100, 'y'), 100},
        {2, "a\xc3\xa9", 1},  // never splits a character
        {1, "ab", 1},
    };
    for (const auto& [limit, text, kept] : cases) {
        SCOPED_TRACE(testing::Message() << "limit " << limit << " length " << text.size());
        configure(R"(,"limited_max":)" + std::to_string(limit));
        trace_->reload_config();
        lines_.clear();
        trace_->ap_limited("%s", text.c_str());
        trace_->ap("%s", text.c_str());
        std::string expected = text.substr(0, kept);
        if (kept < text.size()) {
            expected += "... [" + std::to_string(text.size() - kept) + " bytes left out]";
        }
        EXPECT_EQ(texts(), (std::vector<std::string>{expected, text}));
    }
}

// The stamp is each line's own local time: a second passes between the first two lines.
TEST_F(TraceTest, EachTextIsOneOutputLineWithTimeNameCategoryAndMac) {
    const std::string escaped = "a\\nb\\r\\n\\tc\\\\d\\x01\\x1f\\x7f caf\xc3\xa9";
    const std::vector<std::pair<std::function<void()>, std::string>> lines = {
        {[&] { trace_->core_mac(kMacA, "hello %d", 5); }, "core [00:11:22:33:44:55] hello 5"},
        {[&] { trace_->ap_limited("%s", "a\nb\r\n\tc\\d\x01\x1f\x7f caf\xc3\xa9"); },
         "ap_limited " + escaped},
        {[&] { trace_->ap("nul[%c]", 0); }, "ap nul[\\x00]"},
        // As libwebsockets hands its lines over.
        {[&] { trace_->ap_lib_line("lws_create_context: LWS: 4.1.6\n"); },
         "ap_lib lws_create_context: LWS: 4.1.6"},
    };
    std::vector<std::pair<time_t, time_t>> windows;  // clock before and after each line
    for (const auto& [log, _] : lines) {
        const time_t before = time(nullptr);
        log();
        windows.emplace_back(before, time(nullptr));
        std::this_thread::sleep_for(std::chrono::milliseconds(windows.size() == 1 ? 1005 : 0));
    }
    EXPECT_EQ(texts(), (std::vector<std::string>{"hello 5", escaped, "nul[\\x00]",
                                                 "lws_create_context: LWS: 4.1.6"}));
    std::istringstream written(read_text(out_));
    std::string line;
    for (size_t i = 0; i < lines.size(); ++i) {
        ASSERT_TRUE(std::getline(written, line));
        const auto& [before, after] = windows[i];
        EXPECT_TRUE(line.starts_with(local_text(before)) || line.starts_with(local_text(after)))
            << line;
        EXPECT_TRUE(
            std::regex_match(line.substr(19, 14), std::regex(R"(\.\d{3}[+-]\d\d:\d\d SA )")))
            << line;
        EXPECT_EQ(line.substr(33), lines[i].second);
    }
    EXPECT_FALSE(std::getline(written, line));
}

// Zones changed within one second show at once; minutes of the offset count.
TEST_F(TraceTest, StampCarriesTheZoneInForce) {
    const char* saved = getenv("TZ");
    const std::optional<std::string> old_tz =
        saved ? std::optional<std::string>(saved) : std::nullopt;
    // POSIX TZ, offset the stamp shows
    const std::vector<std::pair<std::string, std::string>> zones = {
        {"UTC0", "+00:00"}, {"IST-05:30", "+05:30"}, {"NST+03:30", "-03:30"}, {"XYZ-3", "+03:00"}};
    for (const auto& [tz, offset] : zones) {
        SCOPED_TRACE(tz);
        ::setenv("TZ", tz.c_str(), 1);
        tzset();
        trace_time_zone_changed();
        const time_t before = time(nullptr);
        trace_->sys("zone");
        const time_t after = time(nullptr);
        const std::string all = read_text(out_);
        const std::string line = all.substr(all.rfind('\n', all.size() - 2) + 1);
        ASSERT_GT(line.size(), kTraceTimeSize) << line;
        const std::string stamp = line.substr(0, kTraceTimeSize);
        EXPECT_EQ(stamp.substr(23), offset) << line;
        EXPECT_TRUE(stamp.starts_with(local_text(before)) || stamp.starts_with(local_text(after)))
            << stamp;
    }
    old_tz ? ::setenv("TZ", old_tz->c_str(), 1) : ::unsetenv("TZ");
    tzset();
    trace_time_zone_changed();
}

// Standard error is the default output every process test reads.
TEST_F(TraceTest, ConfigAppliesToLiveObjectsAndThoseMadeLater) {
    std::ofstream(config_)
        << R"({"output":"stdout","categories":{"core":false,"ap_unsecure":true},)"
           R"("limited_max":77})";
    trace_->reload_config();
    Trace later("LATER");
    for (const Trace* t : {trace_.get(), &later}) {
        EXPECT_FALSE(t->enabled(C::CORE));
        EXPECT_TRUE(t->enabled(C::AP_UNSECURE));
        EXPECT_TRUE(t->enabled(C::EVENTS));
        EXPECT_EQ(t->limited_max(), 77u);
    }
    EXPECT_TRUE(lines_.empty());
    redirected(1, dir_ / "caught.log", [&] { later.sys("from later"); });
    EXPECT_NE(read_text(dir_ / "caught.log").find(" LATER sys from later\n"), std::string::npos);
}

// At start a bad file leaves the defaults; on a reload it keeps the running
// settings, and the warning goes out through them.
TEST_F(TraceTest, BadConfigFileKeepsTheRunningOneOnReloadAndTheDefaultsAtStart) {
    // file content (none: no file), part of the warning (empty: none is due)
    const std::vector<std::pair<std::optional<std::string>, std::string>> cases = {
        {std::nullopt, ""},
        {"{", "not valid JSON"},
        {"[]", "not a JSON object"},
        {R"({"categories":{"core":1}})", "\"core\""},
        {R"({"categories":{"cores":false}})", "unknown category"},
        {R"({"categories":[]})", "\"categories\""},
        {R"({"categories":{"core":false},"colour":1})", "unknown member"},
        {R"({"limited_max":0})", "limited_max"},
        {R"({"output":""})", "\"output\""},
        {R"({"output":"/nonexistent-dir/sub/x.log"})", "cannot open output"},
    };
    const fs::path& running = out_;
    for (const auto& [content, problem] : cases) {
        SCOPED_TRACE(content.value_or("no file"));
        configure(R"(,"categories":{"core":false,"ap_unsecure":true},"limited_max":77)");
        trace_->reload_config();
        fs::remove(config_);
        if (content) {
            std::ofstream(config_) << *content;
        }
        const size_t running_size = read_text(running).size();
        for (const bool at_start : {false, true}) {
            SCOPED_TRACE(at_start ? "at start" : "reload");
            lines_.clear();
            // A refused output falls back to standard error.
            redirected(2, dir_ / "stderr.log", [&] {
                at_start ? Trace::global_init("trace_test") : trace_->reload_config();
            });
            const bool keep = !at_start && !problem.empty();
            for (int i = 0; i < kTraceCategoryCount; ++i) {
                const C category = static_cast<C>(i);
                EXPECT_EQ(trace_->enabled(category),
                          keep ? category != C::CORE : category != C::AP_UNSECURE)
                    << i;
            }
            EXPECT_EQ(trace_->limited_max(), keep ? 77u : 1024u);
            ASSERT_EQ(lines_.size(), problem.empty() ? 0u : 1u);
            if (problem.empty()) {
                continue;
            }
            EXPECT_EQ(lines_[0].category, C::WARN);
            const std::string& text = lines_[0].text;
            EXPECT_TRUE(
                text.starts_with("trace_test: trace configuration " + config_.string() + ": ") &&
                text.find(problem) != std::string::npos &&
                text.ends_with(keep ? "; keeping the running one" : "; using the defaults"))
                << text;
            const std::string written = read_text(keep ? running : dir_ / "stderr.log");
            EXPECT_NE(written.find(" SA warn " + text + "\n", keep ? running_size : 0),
                      std::string::npos)
                << written;
        }
    }
}

// The journal and syslog take each line at once, held or not, with the
// category's priority; the journal also gets the category and MAC as fields.
TEST_F(TraceTest, JournalAndSyslogOutputsTable) {
    std::vector<std::vector<std::string>> journal;
    std::vector<std::pair<int, std::string>> syslog;
    trace_set_system_senders(
        {[&](const iovec* fields, int count) {
             auto& entry = journal.emplace_back();
             for (int i = 0; i < count; ++i)
                 entry.emplace_back(static_cast<const char*>(fields[i].iov_base),
                                    fields[i].iov_len);
             return 0;
         },
         [&](int priority, const char* message) { syslog.emplace_back(priority, message); }});
    // The call, its priority, the message (also the syslog line).
    using Row = std::tuple<std::function<void(const Trace&)>, int, std::string>;
    const std::vector<Row> rows = {
        {[](auto& t) { t.error("disk %s", "full"); }, 3, "SA error disk full"},
        {[](auto& t) { t.warn_mac(kMacB, "late"); }, 4, "SA warn [66:77:88:99:aa:bb] late"},
        {[](auto& t) { t.sys("up"); }, 5, "SA sys up"},
        {[](auto& t) { t.core_mac(kMacA, "a\tb"); }, 7, "SA core [00:11:22:33:44:55] a\\tb"},
        {[](auto& t) { t.ap_lib("lib"); }, 7, "SA ap_lib lib"},
        {[](auto& t) { t.events("ev"); }, 7, "SA events ev"},
    };
    for (const char* output : {"journal", "syslog"}) {
        SCOPED_TRACE(output);
        std::ofstream(config_) << R"({"output":")" << output << "\"}";
        trace_->reload_config();
        trace_->hold_lines(true);
        for (const auto& [log, priority, message] : rows) {
            SCOPED_TRACE(message);
            journal.clear();
            syslog.clear();
            log(*trace_);
            const bool to_syslog = std::string(output) == "syslog";
            EXPECT_EQ(syslog, (std::vector<std::pair<int, std::string>>(to_syslog ? 1 : 0,
                                                                        {priority, message})));
            ASSERT_EQ(journal.size(), to_syslog ? 0u : 1u);
            if (to_syslog)
                continue;
            std::vector<std::string> expected = {
                "MESSAGE=" + message, "PRIORITY=" + std::to_string(priority),
                "SYSLOG_IDENTIFIER=trace_test",
                "DOR_CATEGORY=" + message.substr(3, message.find(' ', 3) - 3)};
            // The category, and the MAC of a line about one, as fields of their own.
            if (message.find('[') != std::string::npos)
                expected.push_back("DOR_MAC=" + message.substr(message.find('[') + 1, 17));
            std::sort(expected.begin(), expected.end());
            std::sort(journal[0].begin(), journal[0].end());
            EXPECT_EQ(journal[0], expected);
        }
        trace_->hold_lines(false);
    }
    EXPECT_EQ(read_text(out_), "");
    trace_set_system_senders({});
}

TEST_F(TraceTest, DeinitClosesTheOutputFile) {
    const auto open_fds = [] {
        return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator());
    };
    Trace::global_deinit();
    const auto closed = open_fds();
    trace_->reload_config();  // the fixture's file output again
    EXPECT_EQ(open_fds(), closed + 1);
    trace_->sys("before");
    Trace::global_deinit();
    EXPECT_EQ(open_fds(), closed);
    redirected(2, dir_ / "stderr.log", [&] { trace_->sys("after"); });
    const std::string written = read_text(out_);
    EXPECT_NE(written.find("before"), std::string::npos);
    EXPECT_EQ(written.find("after"), std::string::npos);
    EXPECT_NE(read_text(dir_ / "stderr.log").find("after"), std::string::npos);
}

TEST_F(TraceTest, HeldLinesReachTheOutputInOrderAtEachReleaseOnly) {
    size_t seen = read_text(out_).size();
    const auto fresh = [&] {
        const std::string all = read_text(out_);
        const std::string added = all.substr(seen);
        seen = all.size();
        return added;
    };
    const auto order = [](const std::string& text, const std::vector<std::string>& parts) {
        size_t at = 0;
        for (size_t i = 0; i < parts.size() && at != std::string::npos; ++i) {
            at = text.find(parts[i], at);
        }
        return at != std::string::npos;
    };
    trace_->hold_lines(true);
    const std::string big(40 * 1024, 'b');  // more than is ever held
    const std::vector<std::tuple<const char*, std::function<void()>, std::vector<std::string>>>
        releases = {
            {"flush",
             [&] { trace_->flush_held(); },
             {" SA sys before reload\n", " SA core [00:11:22:33:44:55] second\n"}},
            {"reload", [&] { trace_->reload_config(); }, {"before reload"}},
            {"crash", [&] { trace_->write_held_on_crash(); }, {"before reload"}},
            {"line too big to hold",
             [&] { trace_->ap("%s", big.c_str()); },
             {"before reload", big}},
            {"buffer full",
             [&] {
                 for (int i = 0; i < 1000; ++i) {
                     trace_->events("filler %d", i);
                 }
             },
             {"before reload", "filler 0\n", "filler 1\n"}},  // the rest still held
            {"hold ended", [&] { trace_->hold_lines(false); }, {"before reload"}},
        };
    for (const auto& [what, release, expected] : releases) {
        SCOPED_TRACE(what);
        trace_->flush_held();  // what an earlier row left held
        fresh();
        trace_->sys("before reload");
        trace_->core_mac(kMacA, "second");
        EXPECT_EQ(fresh(), "");
        EXPECT_EQ(lines_.back().text, "second");  // the sink at once
        release();
        const std::string written = fresh();
        EXPECT_TRUE(order(written, expected)) << written.substr(0, 300);
        EXPECT_EQ(written.find("before reload", written.find("before reload") + 1),
                  std::string::npos);
    }
    trace_->sys("after");
    EXPECT_NE(fresh().find(" SA sys after\n"), std::string::npos);  // no longer held
}

}  // namespace
