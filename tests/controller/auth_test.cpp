// The administrator's authentication command (126) and the certificate
// result (141): reply texts, certificate requests and the one-reply rule.

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "controller/auth_ap_request.h"
#include "controller/cert_auth.h"
#include "dialogue/ap_data_unauthorized.h"
#include "tests/controller/controller_fixture.h"

namespace {

const std::string kIp = "10.8.0.2";
const std::string kMac = "0b:00:00:00:00:02";
const std::string kIp2 = "10.8.0.3";
const std::string kMac2 = "0b:00:00:00:00:03";

const std::string kNotFound = R"({"status":"failure","cause":"not found AP"})";
const std::string kNotWaiting =
    R"({"status":"failure","cause":"AP is not waiting authentication"})";

IPC_MSG__AUTH_AP auth_request(std::optional<std::string> target) {
    IPC_MSG__AUTH_AP msg;
    if (target) {
        msg.target = make_shared_string(*target);
    }
    return msg;
}

IPC_MSG__SA_CERT_AUTH_AP_RESULT cert_result(const std::string& ip, const std::string& mac,
                                            uint32_t result) {
    IPC_MSG__SA_CERT_AUTH_AP_RESULT msg;
    msg.ip = make_shared_string(ip);
    msg.mac = make_shared_string(mac);
    msg.result = result;
    return msg;
}

class AuthTest : public ControllerFixture {
  protected:
    void waiting(const std::string& ip, const std::string& mac) {
        add_ap(unauthed, ip, "/wait/ap", mac);
    }
    void registering(const std::string& ip, const std::string& mac) {
        add_ap(unauthed, ip, "/register/ap", mac);
    }
};

struct AuthCase {
    const char* label;
    std::function<void()> setup;
    std::optional<std::string> target;
    std::vector<std::string> replies;
    size_t cert_requests;
};

TEST_F(AuthTest, RepliesAndCertificateRequests) {
    const std::vector<AuthCase> cases = {
        {"all, nobody waits", [] {}, "all", {R"({"status":"success"})"}, 0},
        {"all, one waits and one registers",
         [this] {
             waiting(kIp, kMac);
             registering(kIp2, kMac2);
         },
         "all",
         {R"({"status":"success"})"},
         1},
        {"all, the waiting AP's address is empty",
         [this] { waiting("", kMac); },
         "all",
         {R"({"status":"failure","cause":"can't auth: )" + kMac + "\"}"},
         0},
        {"batch word in other case", [this] { waiting(kIp, kMac); }, "ALL", {kNotFound}, 0},
        {"batch word with a trailing blank",
         [this] { waiting(kIp, kMac); },
         "all ",
         {kNotFound},
         0},
        {"no target", [this] { waiting(kIp, kMac); }, std::nullopt, {kNotFound}, 0},
        {"unknown MAC", [this] { waiting(kIp, kMac); }, kMac2, {kNotFound}, 0},
        {"registering AP", [this] { registering(kIp, kMac); }, kMac, {kNotWaiting}, 0},
        {"waiting AP: the answer comes later",
         [this] { waiting(kIp, kMac); },
         "0B:00:00:00:00:02",
         {},
         1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        unauthed.clear();
        c.setup();
        authenticate_ap_request(auth_request(c.target), bed.port);
        const auto msgs = out();
        EXPECT_EQ(auth_replies(msgs), c.replies);
        EXPECT_EQ(count_type(msgs, IPC_MSG__SA_CERT_AUTH_AP::kType), c.cert_requests);
    }
}

TEST_F(AuthTest, BatchFailureNamesEveryMacInOrder) {
    const std::vector<MacAddr> macs = {MacAddr::from_str("0B:00:00:00:00:09"),
                                       MacAddr::from_str("0b:00:00:00:00:01")};
    EXPECT_EQ(auth_all_reply_text(macs),
              R"({"status":"failure","cause":"can't auth: 0b:00:00:00:00:09, 0b:00:00:00:00:01"})");
}

TEST_F(AuthTest, SingleApGetsOnlyTheCertificateResult) {
    waiting(kIp, kMac);
    authenticate_ap_request(auth_request(kMac), bed.port);
    EXPECT_TRUE(unauthed.notify_admin(kIp));
    EXPECT_EQ(unauthed.find(kIp)->state, JOIN_BY_ADMIN);
    EXPECT_TRUE(auth_replies(out()).empty());

    // Named again while its certificate is made: refused now, the first
    // request still gets its result.
    authenticate_ap_request(auth_request(kMac), bed.port);
    EXPECT_EQ(auth_replies(out()), std::vector<std::string>{kNotWaiting});

    cert_auth_result(cert_result(kIp, kMac, 0), bed.port);
    EXPECT_EQ(auth_replies(out()), std::vector<std::string>{R"({"status":"success"})"});
    EXPECT_EQ(unauthed.find(kIp), nullptr);
}

struct CertCase {
    uint32_t result;
    const char* error_log;  // null: none
    const char* reason;     // null: no error event
    std::string admin_reply;
};

TEST_F(AuthTest, CertificateResultsRemoveTheApAndAnswerTheAdministrator) {
    const std::vector<CertCase> cases = {
        {0, nullptr, nullptr, R"({"status":"success"})"},
        {1, "AP [10.8.0.2] authentication error: failed to connect AP",
         "AP authentication error: failed to connect AP",
         R"({"status":"failure","cause":"failed to connect AP"})"},
        {2, "AP [10.8.0.2] authentication error: can't generate AP certificate",
         "AP authentication error: can't generate AP certificate",
         R"({"status":"failure","cause":"can't generate AP certificate"})"},
        {3, "AP [10.8.0.2] authentication error: SA_CERT sent unknown error code",
         "AP authentication error: SA_CERT sent unknown error code",
         R"({"status":"failure","cause":"SA_CERT sent unknown error code"})"},
        {7, nullptr, nullptr, "{}"},
    };
    const MacAddr mac = MacAddr::from_str(kMac.c_str());
    for (const auto& c : cases) {
        for (const bool admin_asked : {true, false}) {
            SCOPED_TRACE(std::to_string(c.result) + (admin_asked ? " named" : " batch"));
            unauthed.clear();
            waiting(kIp, kMac);
            authenticate_ap_request(auth_request(admin_asked ? kMac : "all"), bed.port);
            out();
            logged();

            cert_auth_result(cert_result(kIp, kMac, c.result), bed.port);

            std::vector<LoggedLine> lines;
            std::vector<SentMsg> expected;
            // Events are completed from the AP's entry while it still exists.
            auto event = [&](const std::string& reason) {
                return SentMsg{164, {kMac, "2", "AP-300", "7.1.0", kIp, "SA_FREE: " + reason}};
            };
            if (c.error_log) {
                lines.push_back({TraceCategory::ERROR, mac, c.error_log});
                expected.push_back(event(c.reason));
            }
            lines.push_back(
                {TraceCategory::EVENTS, mac, "removed AP [10.8.0.2] from unauthorized"});
            lines.push_back(
                {TraceCategory::CORE, mac, "TRACK AP: Remove from tracking [10.8.0.2]"});
            expected.push_back(event("AP removed from unauthed"));
            expected.push_back(event("remove from tracking"));
            if (admin_asked) {
                expected.push_back({127, {c.admin_reply}});
            }
            EXPECT_EQ(logged(), lines);
            EXPECT_EQ(out(), expected);
            EXPECT_EQ(unauthed.find(kIp), nullptr);
        }
    }
}

TEST_F(AuthTest, CertificateResultForAnAddressNoLongerKnown) {
    cert_auth_result(cert_result(kIp, kMac, 2), bed.port);
    const auto msgs = out();
    EXPECT_TRUE(auth_replies(msgs).empty());
    EXPECT_EQ(
        msgs.back(),
        (SentMsg{164,
                 {"ff:ff:ff:ff:ff:ff", "0", "", "", kIp, "SA_FREE: AP removed from unauthed"}}));
}

}  // namespace
