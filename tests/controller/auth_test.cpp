// The administrator's authentication command (126) and the certificate result (141).

#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "controller/auth_ap_request.h"
#include "controller/cert_auth.h"
#include "tests/controller/controller_fixture.h"

namespace {

const std::string kIp = "10.8.0.2";
const std::string kMac = "0b:00:00:00:00:02";
const std::string kNoMac = "ff:ff:ff:ff:ff:ff";

void auth(std::optional<std::string> target, IpcPort& port) {
    IPC_MSG__AUTH_AP msg;
    if (target) {
        msg.target = make_shared_string(*target);
    }
    authenticate_ap_request(msg, port);
}

std::string failure(const std::string& cause) {
    return R"({"status":"failure","cause":")" + cause + "\"}";
}

using AuthTest = ControllerFixture;

TEST_F(AuthTest, RepliesAndCertificateRequests) {
    using Ap = std::array<std::string, 3>;  // address, path, MAC
    const Ap waiting{kIp, "/wait/ap", kMac};
    const std::string ok = R"({"status":"success"})", not_found = failure("not found AP");
    // APs, target (nullopt: nil), replies, certificate requests
    using Case =
        std::tuple<std::vector<Ap>, std::optional<std::string>, std::vector<std::string>, size_t>;
    // An AP may really send the all-zero MAC; no invalid target may pick it.
    const Ap zero{kIp, "/wait/ap", "000000000000"};
    const std::vector<Case> cases = {
        {{zero}, "not-a-mac", {not_found}, 0},
        {{zero}, "", {not_found}, 0},
        {{zero}, std::nullopt, {not_found}, 0},
        {{zero}, "00:00:00:00:00:00", {}, 1},
        {{}, "all", {ok}, 0},
        {{waiting, {"10.8.0.3", "/register/ap", "0b:00:00:00:00:03"}}, "all", {ok}, 1},
        {{{"", "/wait/ap", kMac}}, "all", {failure("can't auth: " + kMac)}, 0},
        {{waiting}, "ALL", {not_found}, 0},
        {{waiting}, "all ", {not_found}, 0},
        {{waiting}, std::nullopt, {not_found}, 0},
        {{waiting}, "0b:00:00:00:00:03", {not_found}, 0},
        {{{kIp, "/register/ap", kMac}}, kMac, {failure("AP is not waiting authentication")}, 0},
        {{waiting}, "0B:00:00:00:00:02", {}, 1},  // the certificate result answers
    };
    for (const auto& [aps, target, expected_replies, expected_requests] : cases) {
        SCOPED_TRACE(testing::Message() << target.value_or("nil") << " " << aps.size());
        unauthed.clear();
        for (const Ap& ap : aps) {
            add_ap(unauthed, ap[0], ap[1], ap[2]);
        }
        auth(target, bed.port);
        std::vector<std::string> replies;
        size_t cert_requests = 0;
        for (const SentMsg& msg : sent()) {
            if (msg.type == IPC_MSG__AUTH_AP_RESP::kType) {
                replies.push_back(msg.fields.at(0));
            }
            cert_requests += msg.type == IPC_MSG__SA_CERT_AUTH_AP::kType;
        }
        EXPECT_EQ(replies, expected_replies);
        EXPECT_EQ(cert_requests, expected_requests);
    }
    EXPECT_EQ(auth_all_reply_text(
                  {MacAddr::from_str("0B:00:00:00:00:09"), MacAddr::from_str("0b:00:00:00:00:01")}),
              failure("can't auth: 0b:00:00:00:00:09, 0b:00:00:00:00:01"));
}

TEST_F(AuthTest, CertificateResultsRemoveTheApAndAnswerOnlyANamedRequest) {
    // result, cause (empty: none), reply; a known AP, then one the service no longer has
    const std::vector<std::tuple<uint32_t, std::string, std::string>> cases = {
        {0, "", R"({"status":"success"})"},
        {1, "failed to connect AP", failure("failed to connect AP")},
        {2, "can't generate AP certificate", failure("can't generate AP certificate")},
        {3, "SA_CERT sent unknown error code", failure("SA_CERT sent unknown error code")},
        {7, "", "{}"},
    };
    for (const auto& [result, cause, reply] : cases) {
        for (const std::string request : {"named", "all", "none"}) {
            SCOPED_TRACE(std::to_string(result) + " " + request);
            const bool known = request != "none";
            unauthed.clear();
            if (known) {
                add_ap(unauthed, kIp, "/wait/ap", kMac);
                auth(request == "named" ? kMac : "all", bed.port);
                sent();
            }
            IPC_MSG__SA_CERT_AUTH_AP_RESULT msg;
            msg.ip = make_shared_string(kIp);
            msg.mac = make_shared_string(kMac);
            msg.result = result;
            cert_auth_result(msg, bed.port);
            // Events are completed from the AP's entry while it still exists.
            const auto event = [&](const std::string& reason) {
                return known
                           ? SentMsg{164, {kMac, "2", "AP-300", "7.1.0", kIp, "SA_FREE: " + reason}}
                           : SentMsg{164, {kNoMac, "0", "", "", kIp, "SA_FREE: " + reason}};
            };
            std::vector<SentMsg> want;
            if (!cause.empty()) {
                want.push_back(event("AP authentication error: " + cause));
            }
            want.push_back(event("AP removed from unauthed"));
            if (known) {
                want.push_back(event("remove from tracking"));
            }
            if (request == "named") {
                want.push_back({127, {reply}});
            }
            EXPECT_EQ(sent(), want);
            EXPECT_EQ(unauthed.find(kIp), nullptr);
        }
    }
}

}  // namespace
