#include "libs/trace/trace.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "libs/trace/trace_format.h"

namespace {

namespace fs = std::filesystem;

const MacAddr kMacA = MacAddr::from_str("00:11:22:33:44:55");
const MacAddr kMacB = MacAddr::from_str("66:77:88:99:aa:bb");

std::string reference(const char* fmt, ...) DOR_PRINTF(1);
std::string reference(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    char buf[8192];
    int n = std::vsnprintf(buf, sizeof buf, fmt, args);
    va_end(args);
    return n < 0 ? "<error>" : std::string(buf, static_cast<size_t>(n));
}

std::string read_text(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

size_t open_fd_count() {
    size_t count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count;
}

// Points one standard descriptor at a file for the life of the object.
class Redirect {
  public:
    Redirect(int fd, const fs::path& to) : fd_(fd), saved_(::dup(fd)) {
        int file = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ::dup2(file, fd_);
        ::close(file);
    }
    ~Redirect() {
        ::dup2(saved_, fd_);
        ::close(saved_);
    }
    Redirect(const Redirect&) = delete;
    Redirect& operator=(const Redirect&) = delete;

  private:
    int fd_;
    int saved_;
};

class TraceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/trace_test.XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        config_ = dir_ / "trace.json";
        out_ = dir_ / "out.log";
        ::setenv("DOR_TRACE_CONFIG", config_.c_str(), 1);
        write_config(R"({"output":")" + out_.string() + R"("})");
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

    void write_config(const std::string& text) { std::ofstream(config_) << text; }

    // Applies `text` as the configuration file, keeping lines in the test's file.
    void configure(const std::string& members) {
        write_config(R"({"output":")" + out_.string() + "\"" + (members.empty() ? "" : ",") +
                     members + "}");
        trace_->reload_config();
    }

    std::vector<std::string> texts() const {
        std::vector<std::string> out;
        for (const TraceLine& line : lines_) {
            out.push_back(line.text);
        }
        return out;
    }

    fs::path dir_;
    fs::path config_;
    fs::path out_;
    std::unique_ptr<Trace> trace_;
    std::vector<TraceLine> lines_;
};

TEST_F(TraceTest, SecretShownOnlyWhileApUnsecureIsOn) {
    struct Case {
        bool unsecure_on;
        bool with_mac;
    };
    const std::vector<Case> cases = {{false, false}, {false, true}, {true, false}, {true, true}};
    const char* secret = "s3cret-pw";
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "unsecure " << c.unsecure_on << " mac " << c.with_mac);
        lines_.clear();
        trace_->set_enabled(TraceCategory::AP_UNSECURE, c.unsecure_on);
        if (c.with_mac) {
            trace_->ap_unsecure_mac(kMacA, "Sending credentials(%r) to AP (%s)", secret, "AP-1");
        } else {
            trace_->ap_unsecure("Sending credentials(%r) to AP (%s)", secret, "AP-1");
        }
        ASSERT_EQ(lines_.size(), 1u);
        EXPECT_EQ(lines_[0].category, TraceCategory::AP_UNSECURE);
        EXPECT_EQ(lines_[0].text, reference("Sending credentials(%s) to AP (%s)",
                                            c.unsecure_on ? secret : kTraceMask, "AP-1"));
        EXPECT_EQ(lines_[0].mac.has_value(), c.with_mac);
    }
    // Masked lines never carry the secret to the output either.
    auto occurrences = [](const std::string& text, const std::string& part) {
        size_t count = 0;
        for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
            ++count;
        }
        return count;
    };
    const auto shown = static_cast<size_t>(
        std::count_if(cases.begin(), cases.end(), [](const Case& c) { return c.unsecure_on; }));
    std::string written = read_text(out_);
    EXPECT_EQ(occurrences(written, secret), shown);
    EXPECT_EQ(occurrences(written, kTraceMask), cases.size() - shown);
}

TEST_F(TraceTest, MacFilterTable) {
    struct Case {
        bool filter_on;
        bool in_set;
        bool with_mac;
        bool written;
    };
    const std::vector<Case> cases = {
        {false, false, false, true}, {false, false, true, true}, {false, true, false, true},
        {false, true, true, true},   {true, false, false, true}, {true, false, true, false},
        {true, true, false, true},   {true, true, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "filter " << c.filter_on << " in set " << c.in_set
                                        << " mac " << c.with_mac);
        lines_.clear();
        trace_->mac_filter().enabled = c.filter_on;
        trace_->mac_filter().macs = {kMacB};
        const MacAddr& about = c.in_set ? kMacB : kMacA;
        if (c.with_mac) {
            trace_->core_mac(about, "tracking %d", 1);
        } else {
            trace_->core("tracking %d", 1);
        }
        ASSERT_EQ(lines_.size(), c.written ? 1u : 0u);
        if (c.written && c.with_mac) {
            EXPECT_EQ(lines_[0].mac, about);
        }
    }
}

TEST_F(TraceTest, CategorySwitchesTable) {
    struct Operation {
        const char* name;
        std::function<void(const Trace&)> log;
        TraceCategory category;
        TraceCategory gate;
    };
    using C = TraceCategory;
    const std::vector<Operation> operations = {
        {"sys", [](const Trace& t) { t.sys("x"); }, C::SYS, C::SYS},
        {"sys_mac", [](const Trace& t) { t.sys_mac(kMacA, "x"); }, C::SYS, C::SYS},
        {"warn", [](const Trace& t) { t.warn("x"); }, C::WARN, C::WARN},
        {"warn_mac", [](const Trace& t) { t.warn_mac(kMacA, "x"); }, C::WARN, C::WARN},
        {"error", [](const Trace& t) { t.error("x"); }, C::ERROR, C::ERROR},
        {"error_mac", [](const Trace& t) { t.error_mac(kMacA, "x"); }, C::ERROR, C::ERROR},
        {"core", [](const Trace& t) { t.core("x"); }, C::CORE, C::CORE},
        {"core_mac", [](const Trace& t) { t.core_mac(kMacA, "x"); }, C::CORE, C::CORE},
        {"ap", [](const Trace& t) { t.ap("x"); }, C::AP, C::AP},
        {"ap_mac", [](const Trace& t) { t.ap_mac(kMacA, "x"); }, C::AP, C::AP},
        {"ap_lib", [](const Trace& t) { t.ap_lib("x"); }, C::AP_LIB, C::AP_LIB},
        {"ap_limited", [](const Trace& t) { t.ap_limited("x"); }, C::AP_LIMITED, C::AP_LIMITED},
        {"ap_unsecure", [](const Trace& t) { t.ap_unsecure("x"); }, C::AP_UNSECURE, C::AP},
        {"ap_unsecure_mac", [](const Trace& t) { t.ap_unsecure_mac(kMacA, "x"); }, C::AP_UNSECURE,
         C::AP},
        {"events", [](const Trace& t) { t.events("x"); }, C::EVENTS, C::EVENTS},
        {"events_mac", [](const Trace& t) { t.events_mac(kMacA, "x"); }, C::EVENTS, C::EVENTS},
    };
    for (int off = 0; off < kTraceCategoryCount; ++off) {
        const auto switched_off = static_cast<TraceCategory>(off);
        for (int i = 0; i < kTraceCategoryCount; ++i) {
            trace_->set_enabled(static_cast<TraceCategory>(i), i != off);
        }
        for (const Operation& op : operations) {
            SCOPED_TRACE(std::string(op.name) + " with " + trace_category_name(switched_off) +
                         " off");
            lines_.clear();
            op.log(*trace_);
            ASSERT_EQ(lines_.size(), op.gate == switched_off ? 0u : 1u);
            if (!lines_.empty()) {
                EXPECT_EQ(lines_[0].category, op.category);
            }
        }
    }
}

TEST(TraceFormatTest, OrdinaryConversionsMatchSnprintf) {
    int local = 0;
    struct Case {
        const char* what;
        std::string ours;
        std::string expected;
    };
#define FORMAT_CASE(...)                                                       \
    Case {                                                                     \
#__VA_ARGS__, trace_format(false, __VA_ARGS__), reference(__VA_ARGS__) \
    }
    const std::vector<Case> cases = {
        FORMAT_CASE("plain text"),
        FORMAT_CASE("%d|%i", 42, -42),
        FORMAT_CASE("%+05d|% d|%-6i|", 42, 7, -7),
        FORMAT_CASE("%hhd|%hhu|%hd|%hu", static_cast<signed char>(-56),
                    static_cast<unsigned char>(200), static_cast<short>(-300),
                    static_cast<unsigned short>(65000)),
        // Negative promoted values show whether the length modifier was kept.
        FORMAT_CASE("%hhx|%hx", static_cast<signed char>(-1), static_cast<short>(-1)),
        FORMAT_CASE("%ld|%lu", LONG_MIN, ULONG_MAX),
        FORMAT_CASE("%lld|%llu", LLONG_MIN, ULLONG_MAX),
        FORMAT_CASE("%zu|%zd|%zx", SIZE_MAX, static_cast<ssize_t>(-5), static_cast<size_t>(255)),
        FORMAT_CASE("%jd|%ju", INTMAX_MIN, UINTMAX_MAX),
        FORMAT_CASE("%td", static_cast<ptrdiff_t>(-123456789)),
        FORMAT_CASE("%u|%o|%#o|%x|%#X|%08x", UINT_MAX, 8u, 8u, 0xbeefu, 0xbeefu, 0x1fu),
        FORMAT_CASE("%.3d|%8.3d|%-8.3x|", 7, -7, 0xau),
        FORMAT_CASE("%f|%.2f|%08.3f|%+.1F", 3.14159, 2.005, -3.14159, 1e10),
        FORMAT_CASE("%e|%.0E|%g|%G|%#g", 12345.678, 0.000123, 0.0001, 1e20, 1.0),
        FORMAT_CASE("%a|%.2A", 1.0, -0.1),
        FORMAT_CASE("%Lf|%.3Lg", static_cast<long double>(1.5), static_cast<long double>(1e-7)),
        FORMAT_CASE("%c|%5c|%-3c|", 'x', 'y', 'z'),
        FORMAT_CASE("%s|%.2s|%-8s|%8s", "text", "abcdef", "left", "right"),
        FORMAT_CASE("%*d|%-*d|%*d", 5, 42, 5, 42, -5, 42),
        FORMAT_CASE("%.*s|%.*d|%.*f", 3, "abcdef", -1, 7, 2, 2.5),
        FORMAT_CASE("%*.*f", 10, 3, 3.14159),
        FORMAT_CASE("100%%|%5.1f%%", 99.5),
        FORMAT_CASE("%p|%p", static_cast<void*>(&local), static_cast<void*>(nullptr)),
        FORMAT_CASE("%lc|%ls", static_cast<wint_t>(L'w'), L"wide"),
        FORMAT_CASE("a=%d b=%s c=%c d=%.2f e=%lu", -1, "two", '3', 4.0, 5ul),
    };
#undef FORMAT_CASE
    for (const Case& c : cases) {
        EXPECT_EQ(c.ours, c.expected) << c.what;
    }
}

TEST(TraceFormatTest, OwnConversionsTable) {
    int count = -1;
    struct Case {
        const char* what;
        std::string ours;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"%r shown", trace_format(true, "pw=%r.", "abc"), "pw=abc."},
        {"%r masked", trace_format(false, "pw=%r.", "abc"), std::string("pw=") + kTraceMask + "."},
        {"%r width", trace_format(true, "[%5r]", "ab"), "[   ab]"},
        {"%r mask hides precision", trace_format(false, "[%.1r]", "abc"),
         std::string("[") + kTraceMask + "]"},
        {"%r null", trace_format(true, "%r", static_cast<const char*>(nullptr)), "(null)"},
        {"%s null", trace_format(false, "%s", static_cast<const char*>(nullptr)), "(null)"},
        {"%n copied, not written", trace_format(false, "ab%nc", &count), "ab%nc"},
        {"unknown conversion keeps its text", trace_format(false, "%y %d", 5), "%y 5"},
        {"format cut short", trace_format(false, "100%"), "100%"},
        {"cut after flags", trace_format(false, "x%-0"), "x%-0"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.ours, c.expected) << c.what;
    }
    EXPECT_EQ(count, -1);
    // A wild width argument is bounded instead of making a huge line.
    std::string wide = trace_format(false, "%*d", 1 << 30, 1);
    EXPECT_LT(wide.size(), 100000u);
    EXPECT_EQ(wide.back(), '1');
}

TEST_F(TraceTest, ApLimitedCutsLongTexts) {
    const std::string accented = [] {
        std::string s;
        for (int i = 0; i < 60; ++i) {
            s += "\xc3\xa9";  // two bytes each
        }
        return s;
    }();
    struct Case {
        size_t limit;
        std::string text;
        size_t kept;  // bytes before the marker
    };
    const std::vector<Case> cases = {
        {100, std::string(250, 'x'), 100},
        {100, std::string(100, 'y'), 100},
        {100, "short", 5},
        {101, accented, 100},  // never splits a character
        {1, "ab", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "limit " << c.limit << " length " << c.text.size());
        configure(R"("limited_max":)" + std::to_string(c.limit));
        ASSERT_EQ(trace_->limited_max(), c.limit);
        lines_.clear();
        trace_->ap_limited("%s", c.text.c_str());
        trace_->ap("%s", c.text.c_str());
        std::string expected = c.text.substr(0, c.kept);
        if (c.kept < c.text.size()) {
            expected += "... [" + std::to_string(c.text.size() - c.kept) + " bytes left out]";
        }
        EXPECT_EQ(texts(), (std::vector<std::string>{expected, c.text}));
    }
}

TEST_F(TraceTest, ControlCharactersAreEscapedOnOneLine) {
    struct Case {
        std::string input;
        std::string written;
    };
    const std::vector<Case> cases = {
        {"a\nb", "a\\nb"},
        {"\r\n", "\\r\\n"},
        {"tab\there", "tab\\there"},
        {"back\\slash", "back\\\\slash"},
        {"\x01\x1f\x7f", "\\x01\\x1f\\x7f"},
        {"caf\xc3\xa9 ok", "caf\xc3\xa9 ok"},
        {"{\"body\":\"x\"}\n\n", "{\"body\":\"x\"}\\n\\n"},
    };
    for (const Case& c : cases) {
        trace_->ap_limited("%s", c.input.c_str());
    }
    trace_->ap("nul[%c]", 0);
    std::vector<std::string> expected;
    for (const Case& c : cases) {
        expected.push_back(c.written);
    }
    expected.push_back("nul[\\x00]");
    EXPECT_EQ(texts(), expected);

    std::string written = read_text(out_);
    EXPECT_EQ(std::count(written.begin(), written.end(), '\n'),
              static_cast<std::ptrdiff_t>(expected.size()));
    EXPECT_EQ(written.find('\0'), std::string::npos);
}

TEST_F(TraceTest, OutputLineCarriesTimeNameCategoryAndMac) {
    trace_->core_mac(kMacA, "hello %d", 5);
    trace_->sys("plain");
    const std::regex line(
        R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} SA core \[00:11:22:33:44:55\] hello 5\n)"
        R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} SA sys plain\n)");
    std::string written = read_text(out_);
    EXPECT_TRUE(std::regex_match(written, line)) << written;
}

TEST_F(TraceTest, ConfigFileTable) {
    using C = TraceCategory;
    struct Case {
        const char* name;
        std::optional<std::string> content;  // nullopt: no file
        std::map<C, bool> changed;           // categories that differ from the defaults
        size_t limited_max;
        const char* problem;  // part of the warn line; null when none is due
    };
    const std::vector<Case> cases = {
        {"missing", std::nullopt, {}, 1024, nullptr},
        {"empty object", "{}", {}, 1024, nullptr},
        {"categories",
         R"({"categories":{"ap_unsecure":true,"core":false}})",
         {{C::AP_UNSECURE, true}, {C::CORE, false}},
         1024,
         nullptr},
        {"all keys",
         R"({"categories":{"events":false},"output":"stderr","limited_max":64})",
         {{C::EVENTS, false}},
         64,
         nullptr},
        {"not JSON", "{", {}, 1024, "not valid JSON"},
        {"trailing comma", R"({"categories":{"core":false},})", {}, 1024, "not valid JSON"},
        {"array", "[]", {}, 1024, "not a JSON object"},
        {"category not boolean", R"({"categories":{"core":1}})", {}, 1024, "\"core\""},
        {"unknown category", R"({"categories":{"cores":false}})", {}, 1024, "unknown category"},
        {"categories not object", R"({"categories":[]})", {}, 1024, "\"categories\""},
        {"unknown member",
         R"({"categories":{"core":false},"colour":1})",
         {},
         1024,
         "unknown member"},
        {"limit zero", R"({"limited_max":0})", {}, 1024, "limited_max"},
        {"limit text", R"({"limited_max":"big"})", {}, 1024, "limited_max"},
        {"empty output", R"({"output":""})", {}, 1024, "\"output\""},
        {"output cannot open",
         R"({"output":"/nonexistent-dir/sub/x.log"})",
         {},
         1024,
         "cannot open output"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(config_);
        if (c.content) {
            write_config(*c.content);
        }
        // Start from the opposite of the defaults so a kept value shows.
        for (int i = 0; i < kTraceCategoryCount; ++i) {
            trace_->set_enabled(static_cast<C>(i), static_cast<C>(i) == C::AP_UNSECURE);
        }
        lines_.clear();
        {
            Redirect quiet(2, dir_ / "stderr.log");  // a refused file falls back to stderr
            trace_->reload_config();
        }

        for (int i = 0; i < kTraceCategoryCount; ++i) {
            const auto category = static_cast<C>(i);
            bool expected = category != C::AP_UNSECURE;
            if (auto it = c.changed.find(category); it != c.changed.end()) {
                expected = it->second;
            }
            EXPECT_EQ(trace_->enabled(category), expected) << trace_category_name(category);
        }
        EXPECT_EQ(trace_->limited_max(), c.limited_max);
        if (c.problem == nullptr) {
            EXPECT_TRUE(lines_.empty());
        } else {
            ASSERT_EQ(lines_.size(), 1u);
            EXPECT_EQ(lines_[0].category, C::WARN);
            EXPECT_NE(lines_[0].text.find(config_.string()), std::string::npos) << lines_[0].text;
            EXPECT_NE(lines_[0].text.find(c.problem), std::string::npos) << lines_[0].text;
        }
    }
}

TEST_F(TraceTest, OutputDestinationTable) {
    struct Case {
        std::string output;
        int fd;  // the descriptor redirected to catch the line; -1: the file itself
    };
    const fs::path file = dir_ / "other.log";
    const std::vector<Case> cases = {{"stderr", 2}, {"stdout", 1}, {file.string(), -1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.output);
        write_config(R"({"output":")" + c.output + R"("})");
        trace_->reload_config();
        const fs::path caught = c.fd < 0 ? file : dir_ / "caught.log";
        {
            std::optional<Redirect> redirect;
            if (c.fd >= 0) {
                redirect.emplace(c.fd, caught);
            }
            trace_->events("to %s", c.output.c_str());
        }
        std::string text = read_text(caught);
        EXPECT_NE(text.find(" SA events to " + c.output + "\n"), std::string::npos) << text;
    }
}

TEST_F(TraceTest, DeinitClosesTheOutputFile) {
    Trace::global_deinit();
    const size_t closed = open_fd_count();
    trace_->reload_config();  // the fixture's file output again
    EXPECT_EQ(open_fd_count(), closed + 1);
    trace_->sys("before");
    Trace::global_deinit();
    EXPECT_EQ(open_fd_count(), closed);
    {
        Redirect quiet(2, dir_ / "stderr.log");
        trace_->sys("after");
    }
    std::string written = read_text(out_);
    EXPECT_NE(written.find("before"), std::string::npos);
    EXPECT_EQ(written.find("after"), std::string::npos);
    EXPECT_NE(read_text(dir_ / "stderr.log").find("after"), std::string::npos);
}

TEST_F(TraceTest, ObjectsMadeLaterTakeTheLoadedSettings) {
    configure(R"("categories":{"core":false,"ap_unsecure":true},"limited_max":77)");
    Trace later("LATER");
    EXPECT_FALSE(later.enabled(TraceCategory::CORE));
    EXPECT_TRUE(later.enabled(TraceCategory::AP_UNSECURE));
    EXPECT_EQ(later.limited_max(), 77u);
    later.sys("from later");
    EXPECT_NE(read_text(out_).find(" LATER sys from later\n"), std::string::npos);
}

}  // namespace
