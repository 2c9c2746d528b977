// Both AP data objects: the check they ask for on each path, and what they do
// with each check result.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "dialogue/ap_data_authorized.h"
#include "dialogue/ap_data_unauthorized.h"
#include "tests/dialogue/dialogue_fixture.h"
#include "tests/dialogue/expected_json.h"

namespace {

const std::string kIp = "10.0.0.7";
const std::string kMac = "00:1a:2b:3c:4d:5e";  // as the AP's body writes it, lower-cased
const std::string kBroadcast = "ff:ff:ff:ff:ff:ff";
const std::string kFile = "fw/ap.bin";
const std::string R = "/register/ap", Y = "/ready/ap", W = "/wait/ap";
const uint32_t kMax = UINT32_MAX;

std::shared_ptr<ApRequestParams> params() {
    return std::make_shared<ApRequestParams>(
        ApRequestParams{"AP-100", "1.2.3", "hw2", "SN123", MacAddr::from_str("00:1A:2B:3C:4D:5E")});
}

SentMsg check(uint32_t kind, bool authorized) {
    return {136,
            {kMac, "AP-100", kIp, "1.2.3", std::to_string(kind), authorized ? "true" : "false"}};
}
// An event for an AP that no registry knows: what the caller gave, code 0.
SentMsg event(const std::string& reason, bool with_ap = true) {
    return with_ap ? SentMsg{164, {kMac, "0", "AP-100", "1.2.3", kIp, reason}}
                   : SentMsg{164, {kBroadcast, "0", "", "", kIp, reason}};
}

template <class State>
struct PathCase {
    std::string path;
    State state;
    int result;
    std::vector<SentMsg> sent;
};

template <class State>
struct CheckCase {
    std::string path;
    uint32_t fw, mode, verdict;
    bool crt;
    std::string reply;  // empty: none yet
    bool failed, finished;
    State state;
    int32_t tries;
    std::vector<SentMsg> sent;
    std::vector<LoggedLine> logged;
};

class ApDataTest : public DialogueFixture {
  protected:
    template <class Data, class State>
    void run(const std::vector<PathCase<State>>& cases) {
        for (const auto& c : cases) {
            SCOPED_TRACE(c.path);
            Data data;
            data.set_path(c.path);
            EXPECT_EQ(data.state, c.state);
            EXPECT_EQ(data.on_request(params(), kIp), c.result);
            EXPECT_EQ(sent(), c.sent);
            EXPECT_FALSE(data.reply.text);
        }
    }

    template <class Data, class State>
    void run(const std::vector<CheckCase<State>>& cases) {
        for (size_t i = 0; i < cases.size(); ++i) {
            const auto& c = cases[i];
            SCOPED_TRACE("row " + std::to_string(i) + " " + c.path);
            Data data;
            data.set_path(c.path);
            data.on_request(params(), kIp);
            sent(), logged();
            data.on_check_result(c.verdict, kIp, c.mode, c.fw, kFile, c.crt);
            EXPECT_EQ(std::tuple(data.fw_result, data.reply.text ? *data.reply.text : "",
                                 data.failed, data.is_finished(), data.state, data.fw_tries_left),
                      std::tuple(c.fw, c.reply, c.failed, c.finished, c.state, c.tries));
            EXPECT_EQ(sent(), c.sent);
            EXPECT_EQ(logged(), c.logged);
        }
    }

    // A check result for an AP that never sent a request is only reported.
    template <class Data>
    void run_without_request(const std::string& path, const std::string& reason) {
        Data data;
        data.set_path(path);
        const auto state = data.state;
        data.on_check_result(1, kIp, 2, 3, kFile, true);
        EXPECT_EQ(std::tuple(data.fw_result, bool(data.reply.text), data.failed, data.state),
                  std::tuple(0u, false, false, state));
        EXPECT_EQ(sent(), std::vector<SentMsg>{event(reason, false)});
        EXPECT_EQ(logged(),
                  (std::vector<LoggedLine>{{TraceCategory::WARN, std::nullopt,
                                            "Can`t find ap request params for [" + kIp + "]"}}));
    }
};

TEST_F(ApDataTest, PathSelectsStateAndCheck) {
    run<ApDataAuthrized, ApRequestState>({
        {R, REQ_REGISTER, ANSWER_PENDING, {check(0, true)}},
        {Y, REQ_READY, ANSWER_PENDING, {check(1, true)}},
        {"/READY/AP", REQ_UNKNOWN, ANSWER_PENDING, {check(3, true)}},
        {"/register/ap/", REQ_UNKNOWN, ANSWER_PENDING, {check(3, true)}},
    });
    run<ApDataUnauthorized, UnauthedApSaState>({
        {R, REGISTER, ANSWER_PENDING, {check(0, false)}},
        {W, WAIT_AUTH, AUTH_WAITING, {}},
        {Y, UNKNOWN, ANSWER_PENDING, {check(0, false)}},
        {"/Wait/ap", UNKNOWN, ANSWER_PENDING, {check(0, false)}},
    });
}

const std::string kBoard = "AP has unknown board type";
const std::string kNoImage = "AP with unsupported firmware version, no firmware image for upgrade";
const std::string kBoardLine = "has unknown board type 'AP-100'";
const std::string kNoImageLine =
    "with board type 'AP-100' with unsupported firmware version '1.2.3', no firmware image for "
    "upgrade";
const std::string kBoardReply = expected::unavailable("unknown board type");
const std::string kNoImageReply = expected::unavailable("no firmware image for upgrade");
const std::string kUp1 = expected::upgrade(true, kFile), kUp0 = expected::upgrade(false, kFile);
const LoggedLine kReply1{
    TraceCategory::AP, {}, "SA reply: {" + expected::upgrade_members(true, kFile) + "}"};
const LoggedLine kReply0{
    TraceCategory::AP, {}, "SA reply: {" + expected::upgrade_members(false, kFile) + "}"};

TEST_F(ApDataTest, AuthorizedCheckResults) {
    const MacAddr mac = params()->mac;
    const LoggedLine upgrading{TraceCategory::EVENTS, mac,
                               "UPGRADING... (AP-100)[1.2.3], fw_file: " + kFile + " "};
    const std::vector<SentMsg> board{event("SA_AUTH: " + kBoard)},
        no_image{event("SA_AUTH: " + kNoImage)}, up{event("SA_AUTH: upgrading", false)},
        cred{event("SA_AUTH: request credentials data for the valid AP"),
             {3, {kMac, "AP-100", "1.2.3", kIp}}};
    const std::vector<LoggedLine> board_log{{TraceCategory::ERROR, mac, "AP " + kBoardLine}},
        no_image_log{{TraceCategory::ERROR, mac, "AP " + kNoImageLine}},
        up1_log{upgrading, kReply1}, up0_log{upgrading, kReply0},
        cred_log{{TraceCategory::CORE, mac, "Request credentials data for the valid ap"}};
    const auto no = [](const std::string& d) { return expected::unavailable(d); };
    const std::string allow = R"({"code":4027,"dor-version":"2.0"})";
    const auto D = REQ_FW_DECIDED;
    run<ApDataAuthrized, ApRequestState>({
        {R, 0, 0, 1, 0, kBoardReply, 1, 1, REQ_REGISTER, 0, board, board_log},
        {Y, 1, 0, 1, 0, kNoImageReply, 1, 1, REQ_READY, 0, no_image, no_image_log},
        // Firmware to change: the mode decides.
        {R, 2, 0, 0, 0, "", 0, 0, D, 0, {check(2, true)}, {}},
        {Y, 3, 1, 0, 0, "", 0, 0, D, 0, {check(2, true)}, {}},
        {Y, 2, 2, 0, 1, kUp1, 0, 0, D, 5, up, up1_log},
        {R, 3, 2, 0, 0, kUp0, 0, 0, D, 5, up, up0_log},
        {Y, 2, 3, 0, 1, "", 0, 0, D, 0, {}, {}},
        {Y, 3, 0x80000000u, 0, 1, "", 0, 0, D, 0, {}, {}},
        // Current firmware: the verdict decides.
        {R, 4, 0, 0, 0, "", 0, 0, REQ_REGISTER, 0, cred, cred_log},
        {R, 4, 2, 2, 0, "", 0, 0, REQ_REGISTER, 0, cred, cred_log},
        {Y, 4, 0, 1, 0, allow, 0, 1, REQ_READY, 0, {}, {}},
        {"/report/ap", 4, 0, 0, 0, "", 0, 0, REQ_UNKNOWN, 0, {}, {}},
        {R, 4, 0, 3, 0, no("internal error"), 1, 1, REQ_REGISTER, 0, {}, {}},
        {Y, 4, 0, 4, 0, no("limit of access points reached"), 1, 1, REQ_READY, 0, {}, {}},
        {R, 4, 0, 5, 0, no("connection already established"), 1, 1, REQ_REGISTER, 0, {}, {}},
        {Y, 4, 0, 6, 0, no("connection already planned"), 1, 1, REQ_READY, 0, {}, {}},
        {R, 4, 0, 7, 0, no("AP not checked"), 1, 1, REQ_REGISTER, 0, {}, {}},
        {Y, 4, 0, 8, 0, no("check verdict unknown"), 1, 1, REQ_READY, 0, {}, {}},
        {R, 4, 0, 9, 0, "", 0, 0, REQ_REGISTER, 0, {}, {}},
        // Unknown firmware results change nothing; a ready AP is finished anyway.
        {R, 5, 2, 1, 0, "", 0, 0, REQ_REGISTER, 0, {}, {}},
        {Y, kMax, 2, 1, 0, "", 0, 1, REQ_READY, 0, {}, {}},
    });
    run_without_request<ApDataAuthrized>(Y, "SA_AUTH: Can`t find AP request params");
}

TEST_F(ApDataTest, UnauthorizedCheckResultsIgnoreVerdictAndMode) {
    const std::vector<SentMsg> board{event("SA_FREE: " + kBoard)},
        no_image{event("SA_FREE: " + kNoImage)};
    const std::vector<LoggedLine> board_log{
        {TraceCategory::ERROR, {}, "AP " + kMac + " " + kBoardLine}},
        no_image_log{{TraceCategory::ERROR, {}, "AP " + kMac + " " + kNoImageLine}};
    const std::string wait = R"({"code":4028,"dor-version":"2.0"})";
    const auto U = UPGRADING_FW;
    run<ApDataUnauthorized, UnauthedApSaState>({
        {R, 0, 2, 1, 0, kBoardReply, 1, 1, REGISTER, 0, board, board_log},
        {R, 1, 0, 9, 0, kNoImageReply, 1, 1, REGISTER, 0, no_image, no_image_log},
        // The upgrade order is not reported, only the reply written.
        {R, 2, kMax, 4, 1, kUp1, 0, 0, U, 5, {}, {kReply1}},
        {R, 3, 0, 1, 0, kUp0, 0, 0, U, 5, {}, {kReply0}},
        {R, 4, 2, 1, 0, wait, 0, 0, REGISTER, 0, {}, {}},
        {Y, 4, 0, 9, 0, wait, 0, 0, UNKNOWN, 0, {}, {}},
        {R, 5, 2, 1, 0, "", 0, 0, REGISTER, 0, {}, {}},
    });
    run_without_request<ApDataUnauthorized>(R, "SA_FREE: can`t find AP request params");
}

}  // namespace
