// Check results (137) and credentials (2) reaching the AP data objects.

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "controller/credentials.h"
#include "controller/fw_check_result.h"
#include "tests/controller/controller_fixture.h"
#include "tests/dialogue/expected_json.h"

namespace {

const std::string kIp = "10.9.0.4";
const std::string kMac = "0a:00:00:00:00:04";
const MacAddr kMacAddr = MacAddr::from_str(kMac.c_str());

IPC_MSG__FW_AP_CHECK_RESULT check_msg(bool tracked, uint32_t verdict = 0, uint32_t mode = 0,
                                      uint32_t fw_result = 0, const char* fw_file = "",
                                      uint8_t check_crt = 0) {
    IPC_MSG__FW_AP_CHECK_RESULT msg;
    msg.mac = make_shared_string(kMac);
    msg.tracked = tracked;
    msg.verdict = verdict;
    msg.mode = mode;
    msg.fw_result = fw_result;
    msg.fw_file = make_shared_string(fw_file);
    msg.check_crt = check_crt;
    return msg;
}

void deliver_credentials(const std::string& mac, const std::string& password, TrackedAps& aps) {
    IPC_MSG__SA_CREDENTIALS msg;
    msg.mac = make_shared_string(mac);
    msg.password = make_shared_string(password);
    credentials_delivery(msg, aps);
}

using ApResults = ControllerFixture;

TEST_F(ApResults, LookupFailuresWarnAndReport) {
    enum Handler { CHECK_TRACKED, CHECK_UNAUTHED, CREDENTIALS };
    // a MAC pairing outliving its data object, handler, warning, event's address and reason
    using Case = std::tuple<bool, Handler, std::string, std::string, std::string>;
    const std::string no_ip = "Can`t find ip for [" + kMac + "] ";
    const std::string no_info = "Can`t find ap info for [" + kIp + "]";
    const std::string cred_ip = "Unable to find IP address for AP [" + kMac + "]";
    const std::string cred_info = "Unable to find AP info for IP [" + kIp + "]";
    const std::string by_auth = "SA_AUTH: can`t find AP ", by_free = "SA_FREE: can`t find AP ";
    const std::string during = " during credentials setting";
    const std::vector<Case> cases = {
        {false, CHECK_TRACKED, no_ip + "TRACKED", "", by_auth + "ip address for TRACKED"},
        {false, CHECK_UNAUTHED, no_ip + "NOT_TRACKED", "", by_free + "ip address for NOT_TRACKED"},
        {true, CHECK_TRACKED, no_info, kIp, by_free + "info"},
        {false, CREDENTIALS, cred_ip + during, "", by_auth + "ip address"},
        {true, CREDENTIALS, cred_info + during, kIp, by_auth + "info"},
    };
    for (const auto& [orphan, handler, warning, ip, reason] : cases) {
        SCOPED_TRACE(warning);
        tracked.clear();
        if (orphan) {
            tracked.track(kIp, "/register/ap");
            tracked.assign_mac_ip(kMacAddr, kIp);
            tracked.untrack(kIp);
        }
        sent();
        logged();
        if (handler == CREDENTIALS) {
            deliver_credentials(kMac, "pw", tracked);
        } else {
            fw_check_result(check_msg(handler == CHECK_TRACKED), tracked);
        }
        EXPECT_EQ(logged(), (std::vector<LoggedLine>{{TraceCategory::WARN, kMacAddr, warning}}));
        EXPECT_EQ(sent(), (std::vector<SentMsg>{{164, {kMac, "0", "", "", ip, reason}}}));
    }
}

// An AP may really send the all-zero MAC; a result naming no valid MAC is not for it.
TEST_F(ApResults, InvalidMacReachesNoAp) {
    const std::string zero = "00:00:00:00:00:00";
    for (const char* mac : {"not-a-mac", "", static_cast<const char*>(nullptr)}) {
        SCOPED_TRACE(mac ? mac : "nil");
        tracked.clear();
        unauthed.clear();
        add_ap(tracked, kIp, "/register/ap", zero);
        add_ap(unauthed, "10.9.0.5", "/register/ap", zero);
        IPC_MSG__SA_CREDENTIALS credentials;
        credentials.mac = mac ? make_shared_string(mac) : SharedString{};
        credentials.password = make_shared_string("pw");
        credentials_delivery(credentials, tracked);
        for (const bool side : {true, false}) {
            auto check = check_msg(side, 0, 2, FW_UPGRADE, "fw/a.bin");
            check.mac = credentials.mac;
            fw_check_result(check, tracked);
        }
        EXPECT_FALSE(tracked.find(kIp)->reply.text);
        EXPECT_FALSE(unauthed.find("10.9.0.5")->reply.text);
        // Each lookup is reported as failed.
        const std::vector<SentMsg> events = sent();
        EXPECT_EQ(events.size(), 3u);
        for (const SentMsg& event : events) {
            EXPECT_NE(event.fields.at(5).find("can`t find AP ip address"), std::string::npos);
        }
    }
}

TEST_F(ApResults, CheckResultReachesTheApOfTheChosenSideOnly) {
    const std::string full = expected::unavailable("limit of access points reached");
    // the result, the reply of the AP on its side
    const std::vector<std::pair<IPC_MSG__FW_AP_CHECK_RESULT, std::string>> cases = {
        {check_msg(true, 0, 2, FW_UPGRADE, "fw/a.bin", 0), expected::upgrade(false, "fw/a.bin")},
        {check_msg(true, 4, 0, FW_CURRENT, "", 0), full},
        {check_msg(false, 0, 0, FW_UPGRADE_ALT, "fw/b.bin", 1),
         expected::upgrade(true, "fw/b.bin")},
    };
    for (const auto& [msg, reply] : cases) {
        SCOPED_TRACE(reply);
        const bool side = msg.tracked != 0;
        tracked.clear();
        unauthed.clear();
        // The same address on the other side, under another MAC, must stay untouched.
        add_ap(tracked, kIp, "/register/ap", side ? kMac : "0a:00:00:00:00:99");
        add_ap(unauthed, kIp, "/register/ap", side ? "0a:00:00:00:00:99" : kMac);
        fw_check_result(msg, tracked);
        const SaReply& own = side ? tracked.find(kIp)->reply : unauthed.find(kIp)->reply;
        const SaReply& other = side ? unauthed.find(kIp)->reply : tracked.find(kIp)->reply;
        ASSERT_TRUE(own.text);
        EXPECT_EQ(*own.text, reply);
        EXPECT_FALSE(other.text);
    }
}

TEST_F(ApResults, CredentialsBecomeTheRegisteringApsReply) {
    add_ap(tracked, kIp, "/register/ap", kMac);
    // The controller's spelling is what gets logged.
    deliver_credentials("0A:00:00:00:00:04", "s3cret", tracked);
    EXPECT_EQ(*tracked.find(kIp)->reply.text,
              R"({"system":{"password":"s3cret"},"code":1,"dor-version":"2.0"})");
    EXPECT_EQ(logged(),
              (std::vector<LoggedLine>{{TraceCategory::AP_UNSECURE, kMacAddr,
                                        "Sending credentials(s3cret) to AP (0A:00:00:00:00:04)"}}));
    EXPECT_EQ(
        sent(),
        (std::vector<SentMsg>{
            {164, {kMac, "0", "AP-300", "7.1.0", kIp, "SA_AUTH: sending credentials to AP"}}}));
}

}  // namespace
