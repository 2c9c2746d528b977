// Check results (137) and credentials (2) reaching the AP data objects.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "controller/credentials.h"
#include "controller/fw_check_result.h"
#include "tests/controller/controller_fixture.h"
#include "tests/dialogue/expected_json.h"

namespace {

const std::string kIp = "10.9.0.4";
const std::string kMac = "0a:00:00:00:00:04";
const std::string kOther = "0a:00:00:00:00:99";

IPC_MSG__FW_AP_CHECK_RESULT check_msg(bool tracked) {
    IPC_MSG__FW_AP_CHECK_RESULT msg;
    msg.mac = make_shared_string(kMac);
    msg.tracked = tracked;
    return msg;
}

IPC_MSG__SA_CREDENTIALS credentials_msg(const std::string& mac, const std::string& password) {
    IPC_MSG__SA_CREDENTIALS msg;
    msg.mac = make_shared_string(mac);
    msg.password = make_shared_string(password);
    return msg;
}

using ApResults = ControllerFixture;

TEST_F(ApResults, LookupFailuresWarnAndReport) {
    // A MAC pairing that outlived its data object.
    auto orphan = [this](auto& registry) {
        return [this, &registry] {
            registry.track(kIp, "/register/ap");
            registry.assign_mac_ip(MacAddr::from_str(kMac.c_str()), kIp);
            registry.untrack(kIp);
        };
    };
    auto check = [this](bool side) {
        return [this, side] { fw_check_result(check_msg(side), tracked); };
    };
    auto creds = [this] { credentials_delivery(credentials_msg(kMac, "pw"), tracked); };
    auto in_unauthed = [this] { add_ap(unauthed, kIp, "/register/ap", kMac); };
    auto none = [] {};
    const std::string no_ip = "Can`t find ip for [" + kMac + "] ";
    const std::string no_info = "Can`t find ap info for [" + kIp + "]";
    const std::string no_ip_cred =
        "Unable to find IP address for AP [" + kMac + "] during credentials setting";
    const std::string no_info_cred =
        "Unable to find AP info for IP [" + kIp + "] during credentials setting";
    const std::string no_ip_t = "SA_AUTH: can`t find AP ip address for TRACKED";
    const std::string no_ip_nt = "SA_FREE: can`t find AP ip address for NOT_TRACKED";
    struct Case {
        std::function<void()> setup, handle;
        std::string warning, ip, reason;
    };
    const std::vector<Case> cases = {
        {none, check(true), no_ip + "TRACKED", "", no_ip_t},
        {none, check(false), no_ip + "NOT_TRACKED", "", no_ip_nt},
        {in_unauthed, check(true), no_ip + "TRACKED", "", no_ip_t},
        {orphan(tracked), check(true), no_info, kIp, "SA_FREE: can`t find AP info"},
        {orphan(unauthed), check(false), no_info, kIp, "SA_FREE: can`t find AP info"},
        {none, creds, no_ip_cred, "", "SA_AUTH: can`t find AP ip address"},
        {in_unauthed, creds, no_ip_cred, "", "SA_AUTH: can`t find AP ip address"},
        {orphan(tracked), creds, no_info_cred, kIp, "SA_AUTH: can`t find AP info"},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        const Case& c = cases[i];
        tracked.clear();
        unauthed.clear();
        c.setup();
        out();
        logged();
        c.handle();
        const MacAddr mac = MacAddr::from_str(kMac.c_str());
        EXPECT_EQ(logged(), (std::vector<LoggedLine>{{TraceCategory::WARN, mac, c.warning}}));
        EXPECT_EQ(out(), (std::vector<SentMsg>{{164, {kMac, "0", "", "", c.ip, c.reason}}}));
    }
}

TEST_F(ApResults, CheckResultReachesTheApOfTheChosenSideOnly) {
    struct Case {
        bool tracked;
        uint32_t verdict, mode, fw_result;
        const char* fw_file;
        uint8_t check_crt;
        std::string reply;
    };
    const std::vector<Case> cases = {
        {true, 0, 2, FW_UPGRADE, "fw/a.bin", 0, expected::upgrade(false, "fw/a.bin")},
        {true, 4, 0, FW_CURRENT, "", 0, expected::unavailable("limit of access points reached")},
        {false, 0, 0, FW_UPGRADE_ALT, "fw/b.bin", 1, expected::upgrade(true, "fw/b.bin")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reply);
        tracked.clear();
        unauthed.clear();
        // The same address on the other side must stay untouched.
        add_ap(tracked, kIp, "/register/ap", c.tracked ? kMac : kOther);
        add_ap(unauthed, kIp, "/register/ap", c.tracked ? kOther : kMac);
        IPC_MSG__FW_AP_CHECK_RESULT msg = check_msg(c.tracked);
        msg.verdict = c.verdict;
        msg.mode = c.mode;
        msg.fw_result = c.fw_result;
        msg.fw_file = make_shared_string(c.fw_file);
        msg.check_crt = c.check_crt;
        fw_check_result(msg, tracked);
        const SaReply& own = c.tracked ? tracked.find(kIp)->reply : unauthed.find(kIp)->reply;
        const SaReply& other = c.tracked ? unauthed.find(kIp)->reply : tracked.find(kIp)->reply;
        ASSERT_TRUE(own.text);
        EXPECT_EQ(*own.text, c.reply);
        EXPECT_FALSE(other.text);
    }
}

TEST_F(ApResults, CredentialsBecomeTheRegisteringApsReply) {
    add_ap(tracked, kIp, "/register/ap", kMac);
    // The controller's spelling is what gets logged.
    credentials_delivery(credentials_msg("0A:00:00:00:00:04", "s3cret"), tracked);

    EXPECT_EQ(*tracked.find(kIp)->reply.text, expected::credentials("s3cret"));
    EXPECT_EQ(logged(),
              (std::vector<LoggedLine>{{TraceCategory::AP_UNSECURE, MacAddr::from_str(kMac.c_str()),
                                        "Sending credentials(s3cret) to AP (0A:00:00:00:00:04)"}}));
    EXPECT_EQ(
        out(),
        (std::vector<SentMsg>{
            {164, {kMac, "0", "AP-300", "7.1.0", kIp, "SA_AUTH: sending credentials to AP"}}}));
}

}  // namespace
