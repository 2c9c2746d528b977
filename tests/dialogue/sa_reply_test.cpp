#include "dialogue/sa_reply.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

struct ReplyCase {
    std::function<void(SaReply&)> build;
    std::string text;
};

// Texts the AP data tests do not reach; all others are checked there.
const std::vector<ReplyCase> kReplies = {
    {[](SaReply& r) { r.build_allow(); }, R"({"code":4027,"dor-version":"2.0"})"},
    {[](SaReply& r) { r.build_unavailable(""); }, R"({"code":4026,"dor-version":"2.0"})"},
    {[](SaReply& r) { r.build_credentials(""); },
     R"({"system":{"password":""},"code":1,"dor-version":"2.0"})"},
};

// Whoever took the old text keeps it intact when the next one is built.
TEST(SaReply, EachKindBuildsItsExactTextOverAnyEarlierReply) {
    for (const auto& first : kReplies) {
        for (const auto& second : kReplies) {
            SCOPED_TRACE(first.text + " then " + second.text);
            SaReply reply;
            first.build(reply);
            const auto old_text = reply.text;
            ASSERT_NE(old_text, nullptr);
            EXPECT_EQ(*old_text, first.text);
            second.build(reply);
            ASSERT_NE(reply.text, nullptr);
            EXPECT_EQ(*reply.text, second.text);
            EXPECT_EQ(*old_text, first.text);
        }
    }
}

}  // namespace
