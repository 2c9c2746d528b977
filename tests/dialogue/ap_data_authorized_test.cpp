#include "dialogue/ap_data_authorized.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tests/dialogue/ap_data_test_values.h"
#include "tests/dialogue/dialogue_fixture.h"
#include "tests/dialogue/expected_json.h"

namespace {

const std::string kAuth = "SA_AUTH: ";
const std::string kRegister = "/register/ap";
const std::string kReady = "/ready/ap";
const std::string kOther = "/report/ap";
const uint32_t kMax = UINT32_MAX;

class ApDataAuthrizedTest : public DialogueFixture {};

TEST_F(ApDataAuthrizedTest, PathSelectsStateAndCheckKind) {
    struct Case {
        std::string path;
        ApRequestState state;
        uint32_t kind;
    };
    const std::vector<Case> cases = {
        {"/register/ap", REQ_REGISTER, 0},
        {"/ready/ap", REQ_READY, 1},
        {"/Register/ap", REQ_UNKNOWN, 3},
        {"/READY/AP", REQ_UNKNOWN, 3},
        {"/wait/ap", REQ_UNKNOWN, 3},
        {"/report/ap", REQ_UNKNOWN, 3},
        {"/register/ap/", REQ_UNKNOWN, 3},
        {"register/ap", REQ_UNKNOWN, 3},
        {"", REQ_UNKNOWN, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        ApDataAuthrized data;
        data.set_path(c.path);
        EXPECT_EQ(data.path, c.path);
        EXPECT_EQ(data.state, c.state);
        const auto request = ap::params();
        EXPECT_EQ(data.on_request(request, ap::kIp), ANSWER_PENDING);
        EXPECT_EQ(data.params, request);
        EXPECT_EQ(sent(), std::vector<SentMsg>{ap::fw_check(c.kind, true)});
        EXPECT_FALSE(data.reply.text);
    }
}

struct CheckCase {
    std::string name{};
    std::string path{};
    uint32_t fw_result = 0;
    uint32_t mode = 0;
    uint32_t verdict = 0;
    std::string fw_file{};
    bool check_crt = false;
    // What must follow.
    std::optional<std::string> reply{};
    bool failed = false;
    ApRequestState state = REQ_UNKNOWN;
    int32_t fw_tries_left = 0;
    bool finished = false;
    std::vector<SentMsg> sent{};
    std::vector<LoggedLine> logged{};
};

LoggedLine mac_line(TraceCategory category, std::string text) {
    return {category, ap::mac(), std::move(text)};
}

ApRequestState state_of(const std::string& path) {
    return path == kRegister ? REQ_REGISTER : path == kReady ? REQ_READY : REQ_UNKNOWN;
}

std::vector<CheckCase> check_cases() {
    std::vector<CheckCase> cases;
    // Refusals by firmware result.
    for (const auto& path : {kRegister, kReady}) {
        cases.push_back({.name = "unknown_board " + path,
                         .path = path,
                         .fw_result = 0,
                         .verdict = 1,
                         .reply = expected::unavailable("unknown board type"),
                         .failed = true,
                         .state = state_of(path),
                         .finished = true,
                         .sent = {ap::event_full(kAuth, "AP has unknown board type")},
                         .logged = {mac_line(TraceCategory::ERROR,
                                             "AP has unknown board type '" + ap::kDevice + "'")}});
        cases.push_back(
            {.name = "no_image " + path,
             .path = path,
             .fw_result = 1,
             .verdict = 1,
             .reply = expected::unavailable("no firmware image for upgrade"),
             .failed = true,
             .state = state_of(path),
             .finished = true,
             .sent = {ap::event_full(
                 kAuth, "AP with unsupported firmware version, no firmware image for upgrade")},
             .logged = {mac_line(TraceCategory::ERROR, "AP with board type '" + ap::kDevice +
                                                           "' with unsupported firmware version '" +
                                                           ap::kSw +
                                                           "', no firmware image for upgrade")}});
    }
    // Firmware results that consult the mode.
    for (uint32_t fw : {2u, 3u}) {
        const std::string tag = " fw" + std::to_string(fw);
        for (uint32_t mode : {0u, 1u}) {
            cases.push_back({.name = "recheck mode" + std::to_string(mode) + tag,
                             .path = kRegister,
                             .fw_result = fw,
                             .mode = mode,
                             .state = REQ_FW_DECIDED,
                             .sent = {ap::fw_check(2, true)}});
        }
        for (bool check_crt : {false, true}) {
            const std::string file = check_crt ? "fw/ap.bin" : "x.bin";
            cases.push_back(
                {.name = std::string("upgrade check_crt=") + (check_crt ? "1" : "0") + tag,
                 .path = kReady,
                 .fw_result = fw,
                 .mode = 2,
                 .fw_file = file,
                 .check_crt = check_crt,
                 .reply = expected::upgrade(check_crt, file),
                 .state = REQ_FW_DECIDED,
                 .fw_tries_left = 5,
                 .sent = {ap::event_ip_only(kAuth, "upgrading")},
                 .logged = {
                     mac_line(TraceCategory::EVENTS, "UPGRADING... (" + ap::kDevice + ")[" +
                                                         ap::kSw + "], fw_file: " + file + " "),
                     {TraceCategory::AP, std::nullopt,
                      "SA reply: " +
                          expected::object(expected::upgrade_members(check_crt, file))}}});
        }
        // Modes above 2 and negative ones leave the request pending.
        for (uint32_t mode : {3u, 100u, kMax, 0x80000000u}) {
            cases.push_back({.name = "ignored mode" + std::to_string(mode) + tag,
                             .path = kReady,
                             .fw_result = fw,
                             .mode = mode,
                             .state = REQ_FW_DECIDED});
        }
    }
    // Firmware is current: the verdict decides.
    for (uint32_t verdict : {0u, 1u, 2u}) {
        const std::string tag = " verdict" + std::to_string(verdict);
        cases.push_back(
            {.name = "credentials" + tag,
             .path = kRegister,
             .fw_result = 4,
             .verdict = verdict,
             .state = REQ_REGISTER,
             .sent = {ap::event_full(kAuth, "request credentials data for the valid AP"),
                      ap::get_credentials()},
             .logged = {
                 mac_line(TraceCategory::CORE, "Request credentials data for the valid ap")}});
        cases.push_back({.name = "allow" + tag,
                         .path = kReady,
                         .fw_result = 4,
                         .verdict = verdict,
                         .reply = expected::allow(),
                         .state = REQ_READY,
                         .finished = true});
        cases.push_back({.name = "admit on other path" + tag,
                         .path = kOther,
                         .fw_result = 4,
                         .verdict = verdict,
                         .state = REQ_UNKNOWN});
    }
    const std::vector<std::pair<uint32_t, std::string>> refusals = {
        {3, "internal error"},
        {4, "limit of access points reached"},
        {5, "connection already established"},
        {6, "connection already planned"},
        {7, "AP not checked"},
        {8, "check verdict unknown"},
    };
    for (const auto& [verdict, description] : refusals) {
        for (const auto& path : {kRegister, kReady}) {
            cases.push_back({.name = "refused verdict" + std::to_string(verdict) + " " + path,
                             .path = path,
                             .fw_result = 4,
                             .verdict = verdict,
                             .reply = expected::unavailable(description),
                             .failed = true,
                             .state = state_of(path),
                             .finished = true});
        }
    }
    for (uint32_t verdict : {9u, kMax}) {
        cases.push_back({.name = "ignored verdict" + std::to_string(verdict),
                         .path = kRegister,
                         .fw_result = 4,
                         .verdict = verdict,
                         .state = REQ_REGISTER});
    }
    for (uint32_t fw : {5u, kMax}) {
        for (const auto& path : {kRegister, kReady}) {
            // A ready AP counts as finished whatever the answer.
            cases.push_back({.name = "ignored fw_result" + std::to_string(fw) + " " + path,
                             .path = path,
                             .fw_result = fw,
                             .mode = 2,
                             .verdict = 1,
                             .state = state_of(path),
                             .finished = path == kReady});
        }
    }
    return cases;
}

TEST_F(ApDataAuthrizedTest, CheckResultTable) {
    for (const auto& c : check_cases()) {
        SCOPED_TRACE(c.name);
        ApDataAuthrized data;
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
        EXPECT_EQ(data.state, c.state);
        EXPECT_EQ(data.fw_tries_left, c.fw_tries_left);
        EXPECT_EQ(data.is_finished(), c.finished);
        EXPECT_EQ(sent(), c.sent);
        EXPECT_EQ(logged(), c.logged);
    }
}

TEST_F(ApDataAuthrizedTest, CheckResultWithoutRequestIsOnlyReported) {
    for (uint32_t fw : {0u, 2u, 4u}) {
        SCOPED_TRACE(fw);
        ApDataAuthrized data;
        data.set_path(kReady);
        data.on_check_result(1, ap::kIp, 2, fw, "x.bin", true);
        EXPECT_EQ(data.fw_result, 0u);
        EXPECT_FALSE(data.reply.text);
        EXPECT_FALSE(data.failed);
        EXPECT_EQ(data.state, REQ_READY);
        EXPECT_EQ(sent(),
                  std::vector<SentMsg>{ap::event_ip_only(kAuth, "Can`t find AP request params")});
        const LoggedLine warning{TraceCategory::WARN, std::nullopt,
                                 "Can`t find ap request params for [" + ap::kIp + "]"};
        EXPECT_EQ(logged(), std::vector<LoggedLine>{warning});
    }
}

TEST_F(ApDataAuthrizedTest, RegisterThenReadyCourse) {
    ApDataAuthrized data;
    EXPECT_EQ(data.countdown, 300u);
    data.set_path(kRegister);
    data.on_request(ap::params(), ap::kIp);
    data.on_check_result(0, ap::kIp, 0, 4, "", false);
    EXPECT_FALSE(data.reply.text);
    data.set_credentials("pw");
    ASSERT_TRUE(data.reply.text);
    EXPECT_EQ(*data.reply.text, expected::credentials("pw"));
    EXPECT_FALSE(data.is_finished());
    data.reply.text.reset();  // the endpoint took it

    data.set_path(kReady);
    data.on_request(ap::params(), ap::kIp);
    data.on_check_result(1, ap::kIp, 0, 4, "", false);
    ASSERT_TRUE(data.reply.text);
    EXPECT_EQ(*data.reply.text, expected::allow());
    EXPECT_TRUE(data.is_finished());
}

}  // namespace
