// The administrator's authentication command (126) and the certificate
// result (141): reply texts, certificate requests, events and removal.

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "controller/auth_ap_request.h"
#include "controller/cert_auth.h"
#include "tests/controller/controller_fixture.h"

namespace {

const std::string kIp = "10.8.0.2";
const std::string kMac = "0b:00:00:00:00:02";

void auth(std::optional<std::string> target, IpcPort& port) {
    IPC_MSG__AUTH_AP msg;
    if (target) {
        msg.target = make_shared_string(*target);
    }
    authenticate_ap_request(msg, port);
}

void cert_result(uint32_t result, IpcPort& port) {
    IPC_MSG__SA_CERT_AUTH_AP_RESULT msg;
    msg.ip = make_shared_string(kIp);
    msg.mac = make_shared_string(kMac);
    msg.result = result;
    cert_auth_result(msg, port);
}

std::string failure(const std::string& cause) {
    return R"({"status":"failure","cause":")" + cause + "\"}";
}

using AuthTest = ControllerFixture;

TEST_F(AuthTest, RepliesAndCertificateRequests) {
    const std::string ok = R"({"status":"success"})";
    const std::string not_found = failure("not found AP");
    auto wait = [this](std::string ip) {
        return [this, ip] { add_ap(unauthed, ip, "/wait/ap", kMac); };
    };
    auto both = [this] {
        add_ap(unauthed, kIp, "/wait/ap", kMac);
        add_ap(unauthed, "10.8.0.3", "/register/ap", "0b:00:00:00:00:03");
    };
    auto registering = [this] { add_ap(unauthed, kIp, "/register/ap", kMac); };
    struct Case {
        std::function<void()> setup;
        std::optional<std::string> target;
        std::vector<std::string> replies;
        size_t cert_requests;
    };
    const std::vector<Case> cases = {
        {[] {}, "all", {ok}, 0},
        {both, "all", {ok}, 1},
        {wait(""), "all", {failure("can't auth: " + kMac)}, 0},
        {wait(kIp), "ALL", {not_found}, 0},
        {wait(kIp), "all ", {not_found}, 0},
        {wait(kIp), std::nullopt, {not_found}, 0},
        {wait(kIp), "0b:00:00:00:00:03", {not_found}, 0},
        {registering, kMac, {failure("AP is not waiting authentication")}, 0},
        {wait(kIp), "0B:00:00:00:00:02", {}, 1},  // the certificate result answers
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        unauthed.clear();
        cases[i].setup();
        auth(cases[i].target, bed.port);
        std::vector<std::string> replies;
        size_t cert_requests = 0;
        for (const SentMsg& msg : out()) {
            if (msg.type == IPC_MSG__AUTH_AP_RESP::kType) {
                replies.push_back(msg.fields.at(0));
            }
            cert_requests += msg.type == IPC_MSG__SA_CERT_AUTH_AP::kType;
        }
        EXPECT_EQ(replies, cases[i].replies);
        EXPECT_EQ(cert_requests, cases[i].cert_requests);
    }
}

TEST_F(AuthTest, BatchFailureNamesEveryMacInOrder) {
    const std::vector<MacAddr> macs = {MacAddr::from_str("0B:00:00:00:00:09"),
                                       MacAddr::from_str("0b:00:00:00:00:01")};
    EXPECT_EQ(auth_all_reply_text(macs),
              failure("can't auth: 0b:00:00:00:00:09, 0b:00:00:00:00:01"));
}

TEST_F(AuthTest, CertificateResultsRemoveTheApAndAnswerOnlyANamedRequest) {
    struct Case {
        uint32_t result;
        std::string cause;  // empty: success
        std::string reply;
    };
    const std::vector<Case> cases = {
        {0, "", R"({"status":"success"})"},
        {1, "failed to connect AP", failure("failed to connect AP")},
        {2, "can't generate AP certificate", failure("can't generate AP certificate")},
        {3, "SA_CERT sent unknown error code", failure("SA_CERT sent unknown error code")},
        {7, "", "{}"},
    };
    // Events are completed from the AP's entry while it still exists.
    auto event = [](const std::string& reason) {
        return SentMsg{164, {kMac, "2", "AP-300", "7.1.0", kIp, "SA_FREE: " + reason}};
    };
    for (const auto& c : cases) {
        for (const bool named : {true, false}) {
            SCOPED_TRACE(std::to_string(c.result) + (named ? " named" : " batch"));
            unauthed.clear();
            add_ap(unauthed, kIp, "/wait/ap", kMac);
            auth(named ? kMac : "all", bed.port);
            out();
            cert_result(c.result, bed.port);

            std::vector<SentMsg> sent;
            if (!c.cause.empty()) {
                sent.push_back(event("AP authentication error: " + c.cause));
            }
            sent.push_back(event("AP removed from unauthed"));
            sent.push_back(event("remove from tracking"));
            if (named) {
                sent.push_back({127, {c.reply}});
            }
            EXPECT_EQ(out(), sent);
            EXPECT_EQ(unauthed.find(kIp), nullptr);
        }
    }
}

TEST_F(AuthTest, CertificateResultForAnAddressNoLongerKnown) {
    cert_result(2, bed.port);
    auto event = [](const std::string& reason) {
        return SentMsg{164, {"ff:ff:ff:ff:ff:ff", "0", "", "", kIp, "SA_FREE: " + reason}};
    };
    EXPECT_EQ(out(),
              (std::vector<SentMsg>{event("AP authentication error: can't generate AP certificate"),
                                    event("AP removed from unauthed")}));
}

}  // namespace
