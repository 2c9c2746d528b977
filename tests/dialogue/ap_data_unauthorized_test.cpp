#include "dialogue/ap_data_unauthorized.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tests/dialogue/ap_data_test_values.h"
#include "tests/dialogue/dialogue_fixture.h"
#include "tests/dialogue/expected_json.h"

namespace {

const std::string kFree = "SA_FREE: ";
const uint32_t kMax = UINT32_MAX;

class ApDataUnauthorizedTest : public DialogueFixture {};

TEST_F(ApDataUnauthorizedTest, PathSelectsStateAndWhetherToCheck) {
    struct Case {
        std::string path;
        UnauthedApSaState state;
        int result;
        std::vector<SentMsg> sent;
    };
    const std::vector<Case> cases = {
        {"/register/ap", REGISTER, ANSWER_PENDING, {ap::fw_check(0, false)}},
        {"/wait/ap", WAIT_AUTH, AUTH_WAITING, {}},
        {"/ready/ap", UNKNOWN, ANSWER_PENDING, {ap::fw_check(0, false)}},
        {"/report/ap", UNKNOWN, ANSWER_PENDING, {ap::fw_check(0, false)}},
        {"/Wait/ap", UNKNOWN, ANSWER_PENDING, {ap::fw_check(0, false)}},
        {"/REGISTER/AP", UNKNOWN, ANSWER_PENDING, {ap::fw_check(0, false)}},
        {"/wait/ap ", UNKNOWN, ANSWER_PENDING, {ap::fw_check(0, false)}},
        {"", UNKNOWN, ANSWER_PENDING, {ap::fw_check(0, false)}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        ApDataUnauthorized data;
        data.set_path(c.path);
        EXPECT_EQ(data.path, c.path);
        EXPECT_EQ(data.state, c.state);
        const auto request = ap::params();
        EXPECT_EQ(data.on_request(request, ap::kIp), c.result);
        // Also a waiting AP's record is kept.
        EXPECT_EQ(data.params, request);
        EXPECT_EQ(sent(), c.sent);
        EXPECT_FALSE(data.reply.text);
    }
}

struct CheckCase {
    std::string name{};
    std::string path{};
    uint32_t fw_result = 0;
    uint32_t verdict = 0;
    uint32_t mode = 0;
    std::string fw_file{};
    bool check_crt = false;
    std::optional<std::string> reply{};
    bool failed = false;
    UnauthedApSaState state = UNKNOWN;
    int32_t fw_tries_left = 0;
    std::vector<SentMsg> sent{};
    std::vector<LoggedLine> logged{};
};

LoggedLine plain_line(TraceCategory category, std::string text) {
    return {category, std::nullopt, std::move(text)};
}

std::vector<CheckCase> check_cases() {
    std::vector<CheckCase> cases;
    // Verdict and mode must make no difference on this side.
    const std::vector<std::pair<uint32_t, uint32_t>> verdict_modes = {{1, 2}, {9, 0}, {4, kMax}};
    for (const auto& [verdict, mode] : verdict_modes) {
        const std::string tag = " v" + std::to_string(verdict) + " m" + std::to_string(mode);
        cases.push_back({.name = "unknown_board" + tag,
                         .path = "/register/ap",
                         .fw_result = 0,
                         .verdict = verdict,
                         .mode = mode,
                         .reply = expected::unavailable("unknown board type"),
                         .failed = true,
                         .state = REGISTER,
                         .sent = {ap::event_full(kFree, "AP has unknown board type")},
                         .logged = {plain_line(TraceCategory::ERROR,
                                               "AP " + ap::kMacText + " has unknown board type '" +
                                                   ap::kDevice + "'")}});
        cases.push_back(
            {.name = "no_image" + tag,
             .path = "/register/ap",
             .fw_result = 1,
             .verdict = verdict,
             .mode = mode,
             .reply = expected::unavailable("no firmware image for upgrade"),
             .failed = true,
             .state = REGISTER,
             .sent = {ap::event_full(
                 kFree, "AP with unsupported firmware version, no firmware image for upgrade")},
             .logged = {plain_line(TraceCategory::ERROR,
                                   "AP " + ap::kMacText + " with board type '" + ap::kDevice +
                                       "' with unsupported firmware version '" + ap::kSw +
                                       "', no firmware image for upgrade")}});
        for (uint32_t fw : {2u, 3u}) {
            for (bool check_crt : {false, true}) {
                const std::string file = check_crt ? "fw/ap.bin" : "x.bin";
                cases.push_back(
                    {.name = "upgrade fw" + std::to_string(fw) + (check_crt ? " crt" : "") + tag,
                     .path = "/register/ap",
                     .fw_result = fw,
                     .verdict = verdict,
                     .mode = mode,
                     .fw_file = file,
                     .check_crt = check_crt,
                     .reply = expected::upgrade(check_crt, file),
                     .state = UPGRADING_FW,
                     .fw_tries_left = 5,
                     // The reply's own line only: no event, no upgrade log.
                     .logged = {plain_line(
                         TraceCategory::AP,
                         "SA reply: " +
                             expected::object(expected::upgrade_members(check_crt, file)))}});
            }
        }
        for (const std::string path : {"/register/ap", "/ready/ap"}) {
            cases.push_back({.name = "auth_required " + path + tag,
                             .path = path,
                             .fw_result = 4,
                             .verdict = verdict,
                             .mode = mode,
                             .reply = expected::auth_required(),
                             .state = path == "/register/ap" ? REGISTER : UNKNOWN});
        }
        for (uint32_t fw : {5u, kMax}) {
            cases.push_back({.name = "ignored fw" + std::to_string(fw) + tag,
                             .path = "/register/ap",
                             .fw_result = fw,
                             .verdict = verdict,
                             .mode = mode,
                             .state = REGISTER});
        }
    }
    return cases;
}

TEST_F(ApDataUnauthorizedTest, CheckResultTable) {
    for (const auto& c : check_cases()) {
        SCOPED_TRACE(c.name);
        ApDataUnauthorized data;
        data.set_path(c.path);
        data.on_request(ap::params(), ap::kIp);
        sent();
        logged();

        data.on_check_result(c.verdict, ap::kIp, c.mode, c.fw_result, c.fw_file, c.check_crt);

        EXPECT_EQ(data.fw_result, c.fw_result);
        if (c.reply) {
            ASSERT_TRUE(data.reply.text);
            EXPECT_EQ(*data.reply.text, *c.reply);
        } else {
            EXPECT_FALSE(data.reply.text) << *data.reply.text;
        }
        EXPECT_EQ(data.failed, c.failed);
        EXPECT_EQ(data.is_finished(), c.failed);
        EXPECT_EQ(data.state, c.state);
        EXPECT_EQ(data.is_upgrading(), c.state == UPGRADING_FW);
        EXPECT_EQ(data.fw_tries_left, c.fw_tries_left);
        EXPECT_EQ(sent(), c.sent);
        EXPECT_EQ(logged(), c.logged);
    }
}

TEST_F(ApDataUnauthorizedTest, CheckResultWithoutRequestIsOnlyReported) {
    for (uint32_t fw : {0u, 3u, 4u}) {
        SCOPED_TRACE(fw);
        ApDataUnauthorized data;
        data.set_path("/register/ap");
        data.on_check_result(1, ap::kIp, 2, fw, "x.bin", true);
        EXPECT_EQ(data.fw_result, 0u);
        EXPECT_FALSE(data.reply.text);
        EXPECT_FALSE(data.failed);
        EXPECT_EQ(data.state, REGISTER);
        EXPECT_EQ(sent(),
                  std::vector<SentMsg>{ap::event_ip_only(kFree, "can`t find AP request params")});
        EXPECT_EQ(logged(),
                  std::vector<LoggedLine>{plain_line(
                      TraceCategory::WARN, "Can`t find ap request params for [" + ap::kIp + "]")});
    }
}

}  // namespace
