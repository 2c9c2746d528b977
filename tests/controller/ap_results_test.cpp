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
const std::string kOtherMac = "0a:00:00:00:00:99";

MacAddr mac_of(const std::string& text) {
    return MacAddr::from_str(text.c_str());
}

IPC_MSG__FW_AP_CHECK_RESULT check_result(const std::string& mac, bool tracked) {
    IPC_MSG__FW_AP_CHECK_RESULT msg;
    msg.mac = make_shared_string(mac);
    msg.tracked = tracked ? 1 : 0;
    msg.fw_result = FW_CURRENT;
    return msg;
}

class ApResults : public ControllerFixture {
  protected:
    // An entry whose MAC pairing outlived its data object: paired without a
    // record, so removal leaves the pair behind.
    template <class Registry>
    void orphan_pair(Registry& registry) {
        registry.track(kIp, "/register/ap");
        registry.assign_mac_ip(mac_of(kMac), kIp);
        registry.untrack(kIp);
        sent();
        logged();
    }
};

struct LookupFailure {
    const char* label;
    std::function<void()> setup;
    bool tracked;  // the message's tracked byte
    LoggedLine warning;
    SentMsg event;
};

TEST_F(ApResults, CheckResultForAnApTheChosenRegistryLacks) {
    const MacAddr mac = mac_of(kMac);
    const std::vector<LookupFailure> cases = {
        {"tracked, unknown MAC",
         [] {},
         true,
         {TraceCategory::WARN, mac, "Can`t find ip for [" + kMac + "] TRACKED"},
         {164, {kMac, "0", "", "", "", "SA_AUTH: can`t find AP ip address for TRACKED"}}},
        {"not tracked, unknown MAC",
         [] {},
         false,
         {TraceCategory::WARN, mac, "Can`t find ip for [" + kMac + "] NOT_TRACKED"},
         {164, {kMac, "0", "", "", "", "SA_FREE: can`t find AP ip address for NOT_TRACKED"}}},
        {"tracked, MAC only the other registry knows",
         [this] { add_ap(unauthed, kIp, "/register/ap", kMac); },
         true,
         {TraceCategory::WARN, mac, "Can`t find ip for [" + kMac + "] TRACKED"},
         {164, {kMac, "0", "", "", "", "SA_AUTH: can`t find AP ip address for TRACKED"}}},
        {"tracked, data object gone",
         [this] { orphan_pair(tracked); },
         true,
         {TraceCategory::WARN, mac, "Can`t find ap info for [" + kIp + "]"},
         {164, {kMac, "0", "", "", kIp, "SA_FREE: can`t find AP info"}}},
        {"not tracked, data object gone",
         [this] { orphan_pair(unauthed); },
         false,
         {TraceCategory::WARN, mac, "Can`t find ap info for [" + kIp + "]"},
         {164, {kMac, "0", "", "", kIp, "SA_FREE: can`t find AP info"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        tracked.clear();
        unauthed.clear();
        c.setup();
        fw_check_result(check_result(kMac, c.tracked), tracked);
        EXPECT_EQ(logged(), std::vector<LoggedLine>{c.warning});
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

TEST_F(ApResults, CheckResultReachesTheApsDataObject) {
    const std::vector<Delivery> cases = {
        {"authorized AP told to upgrade", true, 0, 2, FW_UPGRADE, "fw/a.bin", 0,
         expected::upgrade(false, "fw/a.bin")},
        {"authorized AP refused by verdict", true, 4, 0, FW_CURRENT, "", 0,
         expected::unavailable("limit of access points reached")},
        {"unauthorized AP told to upgrade", false, 0, 0, FW_UPGRADE_ALT, "fw/b.bin", 1,
         expected::upgrade(true, "fw/b.bin")},
        {"unauthorized AP with current firmware", false, 0, 0, FW_CURRENT, "", 0,
         expected::auth_required()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        tracked.clear();
        unauthed.clear();
        // The same address in the other registry must stay untouched.
        add_ap(tracked, kIp, "/register/ap", c.tracked ? kMac : kOtherMac);
        add_ap(unauthed, kIp, "/register/ap", c.tracked ? kOtherMac : kMac);
        auto msg = check_result(kMac, c.tracked);
        msg.verdict = c.verdict;
        msg.mode = c.mode;
        msg.fw_result = c.fw_result;
        msg.fw_file = make_shared_string(c.fw_file);
        msg.check_crt = c.check_crt;
        fw_check_result(msg, tracked);
        const auto& own = c.tracked ? tracked.find(kIp)->reply : unauthed.find(kIp)->reply;
        const auto& other = c.tracked ? unauthed.find(kIp)->reply : tracked.find(kIp)->reply;
        ASSERT_TRUE(own.text);
        EXPECT_EQ(*own.text, c.reply);
        EXPECT_FALSE(other.text);
    }
}

TEST_F(ApResults, NilTextsInACheckResultAreEmpty) {
    add_ap(unauthed, kIp, "/register/ap", kMac);
    IPC_MSG__FW_AP_CHECK_RESULT msg;  // no MAC: names no AP
    fw_check_result(msg, tracked);
    EXPECT_EQ(out(),
              (std::vector<SentMsg>{{164,
                                     {"00:00:00:00:00:00", "0", "", "", "",
                                      "SA_FREE: can`t find AP ip address for NOT_TRACKED"}}}));
    auto upgrade = check_result(kMac, false);
    upgrade.fw_result = FW_UPGRADE;  // and no firmware file
    fw_check_result(upgrade, tracked);
    EXPECT_EQ(*unauthed.find(kIp)->reply.text, expected::upgrade(false, ""));
}

TEST_F(ApResults, CredentialsBecomeTheRegisteringApsReply) {
    add_ap(tracked, kIp, "/register/ap", kMac);
    IPC_MSG__SA_CREDENTIALS msg;
    msg.mac = make_shared_string("0A:00:00:00:00:04");  // the controller's spelling
    msg.password = make_shared_string("s3cret");
    credentials_delivery(msg, tracked);

    EXPECT_EQ(*tracked.find(kIp)->reply.text, expected::credentials("s3cret"));
    EXPECT_EQ(logged(),
              (std::vector<LoggedLine>{{TraceCategory::AP_UNSECURE, mac_of(kMac),
                                        "Sending credentials(s3cret) to AP (0A:00:00:00:00:04)"}}));
    EXPECT_EQ(
        out(),
        (std::vector<SentMsg>{
            {164, {kMac, "0", "AP-300", "7.1.0", kIp, "SA_AUTH: sending credentials to AP"}}}));
}

TEST_F(ApResults, CredentialsWithoutPasswordCarryAnEmptyOne) {
    add_ap(tracked, kIp, "/ready/ap", kMac);  // even an AP that did not ask
    IPC_MSG__SA_CREDENTIALS msg;
    msg.mac = make_shared_string(kMac);
    credentials_delivery(msg, tracked);
    EXPECT_EQ(*tracked.find(kIp)->reply.text, expected::credentials(""));
}

TEST_F(ApResults, CredentialsForAnApTheTrackedRegistryLacks) {
    const MacAddr mac = mac_of(kMac);
    const std::vector<LookupFailure> cases = {
        {"unknown MAC",
         [] {},
         true,
         {TraceCategory::WARN, mac,
          "Unable to find IP address for AP [" + kMac + "] during credentials setting"},
         {164, {kMac, "0", "", "", "", "SA_AUTH: can`t find AP ip address"}}},
        {"MAC only the unauthorized registry knows",
         [this] { add_ap(unauthed, kIp, "/register/ap", kMac); },
         true,
         {TraceCategory::WARN, mac,
          "Unable to find IP address for AP [" + kMac + "] during credentials setting"},
         {164, {kMac, "0", "", "", "", "SA_AUTH: can`t find AP ip address"}}},
        {"data object gone",
         [this] { orphan_pair(tracked); },
         true,
         {TraceCategory::WARN, mac,
          "Unable to find AP info for IP [" + kIp + "] during credentials setting"},
         {164, {kMac, "0", "", "", kIp, "SA_AUTH: can`t find AP info"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        tracked.clear();
        unauthed.clear();
        c.setup();
        IPC_MSG__SA_CREDENTIALS msg;
        msg.mac = make_shared_string(kMac);
        msg.password = make_shared_string("pw");
        credentials_delivery(msg, tracked);
        EXPECT_EQ(logged(), std::vector<LoggedLine>{c.warning});
        EXPECT_EQ(out(), std::vector<SentMsg>{c.event});
        if (auto ap = unauthed.find(kIp)) {
            EXPECT_FALSE(ap->reply.text);
        }
    }
}

}  // namespace
