#include "dialogue/sa_reply.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "libs/trace/trace.h"
#include "platform/globals.h"
#include "tests/dialogue/expected_json.h"

namespace {

class SaReplyTest : public ::testing::Test {
  protected:
    SaReplyTest() {
        sa_trace.set_enabled(TraceCategory::AP, true);
        sa_trace.set_sink([this](const TraceLine& line) { lines.push_back(line); });
    }
    ~SaReplyTest() override { sa_trace.set_sink({}); }

    std::vector<TraceLine> lines;
};

struct ReplyCase {
    std::string name;
    std::function<void(SaReply&)> build;
    std::string text;
    std::optional<std::string> log;  // the "ap" line written while building
};

std::vector<ReplyCase> reply_cases() {
    using namespace expected;
    return {
        {"allow", [](SaReply& r) { r.build_allow(); }, allow(), {}},
        {"auth_required", [](SaReply& r) { r.build_auth_required(); }, auth_required(), {}},
        {"unavailable_empty",
         [](SaReply& r) { r.build_unavailable(""); },
         versioned({{"code", "4026"}}),
         {}},
        {"unavailable",
         [](SaReply& r) { r.build_unavailable("limit of access points reached"); },
         versioned(
             {{"code", "4026"}, {"error-description", str("limit of access points reached")}}),
         {}},
        {"upgrade_check_crt", [](SaReply& r) { r.build_upgrade(true, "fw/ap.bin"); },
         versioned({{"code", "4025"}, {"msg", str("fw/ap.bin")}, {"fw-check-crt", "true"}}),
         "SA reply: " +
             object({{"code", "4025"}, {"msg", str("fw/ap.bin")}, {"fw-check-crt", "true"}})},
        {"upgrade_no_check", [](SaReply& r) { r.build_upgrade(false, "x.bin"); },
         versioned({{"code", "4025"}, {"msg", str("x.bin")}, {"fw-check-crt", "false"}}),
         "SA reply: " +
             object({{"code", "4025"}, {"msg", str("x.bin")}, {"fw-check-crt", "false"}})},
        {"credentials",
         [](SaReply& r) { r.build_credentials("s3cret"); },
         versioned({{"system", object({{"password", str("s3cret")}})}, {"code", "1"}}),
         {}},
        {"credentials_empty_password",
         [](SaReply& r) { r.build_credentials(""); },
         versioned({{"system", object({{"password", str("")}})}, {"code", "1"}}),
         {}},
    };
}

TEST_F(SaReplyTest, EachKindBuildsItsExactText) {
    for (const auto& c : reply_cases()) {
        SCOPED_TRACE(c.name);
        lines.clear();
        SaReply reply;
        ASSERT_EQ(reply.text, nullptr);
        c.build(reply);
        ASSERT_NE(reply.text, nullptr);
        EXPECT_EQ(*reply.text, c.text);
        std::vector<std::string> ap_lines;
        for (const auto& line : lines) {
            if (line.category == TraceCategory::AP) {
                ap_lines.push_back(line.text);
            }
        }
        EXPECT_EQ(ap_lines, c.log ? std::vector<std::string>{*c.log} : std::vector<std::string>{});
    }
}

TEST_F(SaReplyTest, EveryKindReplacesAnEarlierReply) {
    const auto cases = reply_cases();
    for (const auto& first : cases) {
        for (const auto& second : cases) {
            SaReply reply;
            first.build(reply);
            const auto old_text = reply.text;
            second.build(reply);
            ASSERT_NE(reply.text, nullptr);
            EXPECT_EQ(*reply.text, second.text) << first.name << " then " << second.name;
            // Whoever took the old reply keeps it intact.
            EXPECT_EQ(*old_text, first.text);
        }
    }
}

TEST(FixedReplies, TextsAreExact) {
    EXPECT_STREQ(kDorVersion, "2.0");
    EXPECT_EQ(noted_reply_text(), R"({"noted":true, "dor-version":"2.0"})");
    struct Case {
        std::string description;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"bad request", R"({"error-description": "bad request", "dor-version":"2.0"})"},
        {"", R"({"error-description": "", "dor-version":"2.0"})"},
        {"unsupported content type",
         R"({"error-description": "unsupported content type", "dor-version":"2.0"})"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(error_reply_text(c.description), c.text) << c.description;
    }
}

}  // namespace
