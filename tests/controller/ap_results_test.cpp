// Check results (137) and credentials (2) reaching the AP data objects.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "controller/credentials.h"
#include "controller/fw_check_result.h"
#include "dialogue/ap_data_authorized.h"
#include "dialogue/ap_data_unauthorized.h"
#include "tests/controller/controller_fixture.h"
#include "tests/dialogue/expected_json.h"

namespace {

const std::string kIp = "10.9.0.4";
const std::string kMac = "0a:00:00:00:00:04";
const MacAddr kMacAddr = MacAddr::from_str(kMac.c_str());

class ApResults : public ControllerFixture {
  protected:
    void check_result(bool tracked_side) {
        IPC_MSG__FW_AP_CHECK_RESULT msg;
        msg.mac = make_shared_string(kMac);
        msg.tracked = tracked_side;
        fw_check_result(msg, tracked);
    }
    void credentials(const std::string& mac_text, const std::string& password) {
        IPC_MSG__SA_CREDENTIALS msg;
        msg.mac = make_shared_string(mac_text);
        msg.password = make_shared_string(password);
        credentials_delivery(msg, tracked);
    }
    // A MAC pairing that outlived its data object: paired without a record,
    // so the removal leaves the pair behind.
    template <class Registry>
    void orphan_pair(Registry& registry) {
        registry.track(kIp, "/register/ap");
        registry.assign_mac_ip(kMacAddr, kIp);
        registry.untrack(kIp);
        sent();
        logged();
    }
};

struct LookupFailure {
    const char* label;
    std::function<void()> setup;
    std::function<void()> handle;
    std::string warning;
    SentMsg event;
};

TEST_F(ApResults, LookupFailuresWarnAndReport) {
    auto none = [] {};
    auto check = [this](bool side) { return [this, side] { check_result(side); }; };
    auto creds = [this] { credentials(kMac, "pw"); };
    const std::string no_ip_creds =
        "Unable to find IP address for AP [" + kMac + "] during credentials setting";
    const std::vector<LookupFailure> cases = {
        {"check, tracked, unknown MAC",
         none,
         check(true),
         "Can`t find ip for [" + kMac + "] TRACKED",
         {164, {kMac, "0", "", "", "", "SA_AUTH: can`t find AP ip address for TRACKED"}}},
        {"check, not tracked, unknown MAC",
         none,
         check(false),
         "Can`t find ip for [" + kMac + "] NOT_TRACKED",
         {164, {kMac, "0", "", "", "", "SA_FREE: can`t find AP ip address for NOT_TRACKED"}}},
        {"check, tracked, only the other registry knows the MAC",
         [this] { add_ap(unauthed, kIp, "/register/ap", kMac); },
         check(true),
         "Can`t find ip for [" + kMac + "] TRACKED",
         {164, {kMac, "0", "", "", "", "SA_AUTH: can`t find AP ip address for TRACKED"}}},
        {"check, tracked, data object gone",
         [this] { orphan_pair(tracked); },
         check(true),
         "Can`t find ap info for [" + kIp + "]",
         {164, {kMac, "0", "", "", kIp, "SA_FREE: can`t find AP info"}}},
        {"check, not tracked, data object gone",
         [this] { orphan_pair(unauthed); },
         check(false),
         "Can`t find ap info for [" + kIp + "]",
         {164, {kMac, "0", "", "", kIp, "SA_FREE: can`t find AP info"}}},
        {"credentials, unknown MAC",
         none,
         creds,
         no_ip_creds,
         {164, {kMac, "0", "", "", "", "SA_AUTH: can`t find AP ip address"}}},
        {"credentials, only the unauthorized registry knows the MAC",
         [this] { add_ap(unauthed, kIp, "/register/ap", kMac); },
         creds,
         no_ip_creds,
         {164, {kMac, "0", "", "", "", "SA_AUTH: can`t find AP ip address"}}},
        {"credentials, data object gone",
         [this] { orphan_pair(tracked); },
         creds,
         "Unable to find AP info for IP [" + kIp + "] during credentials setting",
         {164, {kMac, "0", "", "", kIp, "SA_AUTH: can`t find AP info"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        tracked.clear();
        unauthed.clear();
        c.setup();
        c.handle();
        EXPECT_EQ(logged(), (std::vector<LoggedLine>{{TraceCategory::WARN, kMacAddr, c.warning}}));
        EXPECT_EQ(out(), std::vector<SentMsg>{c.event});
    }
}

struct Delivery {
    const char* label;
    bool tracked;
    uint32_t verdict, mode, fw_result;
    const char* fw_file;
    uint8_t check_crt;
    std::string reply;
};

TEST_F(ApResults, CheckResultReachesTheApOfTheChosenSide) {
    const std::vector<Delivery> cases = {
        {"authorized, upgrade", true, 0, 2, FW_UPGRADE, "fw/a.bin", 0,
         expected::upgrade(false, "fw/a.bin")},
        {"authorized, refused by verdict", true, 4, 0, FW_CURRENT, "", 0,
         expected::unavailable("limit of access points reached")},
        {"unauthorized, upgrade", false, 0, 0, FW_UPGRADE_ALT, "fw/b.bin", 1,
         expected::upgrade(true, "fw/b.bin")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        tracked.clear();
        unauthed.clear();
        // The same address on the other side must stay untouched.
        add_ap(tracked, kIp, "/register/ap", c.tracked ? kMac : "0a:00:00:00:00:99");
        add_ap(unauthed, kIp, "/register/ap", c.tracked ? "0a:00:00:00:00:99" : kMac);
        IPC_MSG__FW_AP_CHECK_RESULT msg;
        msg.mac = make_shared_string(kMac);
        msg.tracked = c.tracked;
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
    credentials("0A:00:00:00:00:04", "s3cret");  // the controller's spelling is logged

    EXPECT_EQ(*tracked.find(kIp)->reply.text, expected::credentials("s3cret"));
    EXPECT_EQ(logged(),
              (std::vector<LoggedLine>{{TraceCategory::AP_UNSECURE, kMacAddr,
                                        "Sending credentials(s3cret) to AP (0A:00:00:00:00:04)"}}));
    EXPECT_EQ(
        out(),
        (std::vector<SentMsg>{
            {164, {kMac, "0", "AP-300", "7.1.0", kIp, "SA_AUTH: sending credentials to AP"}}}));
}

}  // namespace
