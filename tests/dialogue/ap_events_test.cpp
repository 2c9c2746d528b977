#include "controller/ap_events.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "dialogue/ap_data_authorized.h"
#include "dialogue/ap_data_unauthorized.h"
#include "tests/dialogue/dialogue_fixture.h"

namespace {

const std::string kBroadcast = "ff:ff:ff:ff:ff:ff";

// The AP the registry knows, and values that differ from its record.
const std::string kIp = "192.168.1.20";
const std::string kMacText = "02:00:00:00:00:01";
const std::string kDevice = "AP-200";
const std::string kSw = "4.5.6";
const std::string kOtherIp = "192.168.1.99";
const std::string kOtherMacText = "02:00:00:00:00:99";
const std::string kOtherDevice = "AP-999";
const std::string kOtherSw = "0.0.1";

MacAddr mac_of(const std::string& text) {
    return MacAddr::from_str(text.c_str());
}

struct AuthReporter {
    using State = ApRequestState;
    static constexpr const char* kPrefix = "SA_AUTH: ";
    static TrackedAps& own(TrackedAps& tracked, UnauthedAps&) { return tracked; }
    static UnauthedAps& other(TrackedAps&, UnauthedAps& unauthed) { return unauthed; }
    static void report(std::string reason, std::optional<std::string> ip = {},
                       std::optional<MacAddr> mac = {}, std::optional<std::string> device_type = {},
                       std::optional<std::string> sw_version = {}) {
        report_auth_ap_event(std::move(reason), std::move(ip), mac, std::move(device_type),
                             std::move(sw_version));
    }
    static std::vector<std::pair<State, uint32_t>> codes() {
        return {{REQ_REGISTER, 0}, {REQ_READY, 4}, {REQ_FW_DECIDED, 5}, {REQ_UNKNOWN, 0}};
    }
};

struct FreeReporter {
    using State = UnauthedApSaState;
    static constexpr const char* kPrefix = "SA_FREE: ";
    static UnauthedAps& own(TrackedAps&, UnauthedAps& unauthed) { return unauthed; }
    static TrackedAps& other(TrackedAps& tracked, UnauthedAps&) { return tracked; }
    static void report(std::string reason, std::optional<std::string> ip = {},
                       std::optional<MacAddr> mac = {}, std::optional<std::string> device_type = {},
                       std::optional<std::string> sw_version = {}) {
        report_free_ap_event(std::move(reason), std::move(ip), mac, std::move(device_type),
                             std::move(sw_version));
    }
    static std::vector<std::pair<State, uint32_t>> codes() {
        return {{REGISTER, 0},  {WAIT_AUTH, 1},    {JOIN_BY_ADMIN, 2},
                {JOIN_AUTO, 3}, {UPGRADING_FW, 5}, {UNKNOWN, 0}};
    }
};

template <class Reporter>
class ApEventsTest : public DialogueFixture {
  protected:
    // Puts the AP in `registry` with a request record and its MAC paired.
    template <class Registry>
    auto add_ap(Registry& registry, bool with_record = true) {
        registry.track(kIp, "/register/ap");
        auto ap = registry.find(kIp);
        if (with_record) {
            auto params = std::make_shared<ApRequestParams>();
            params->device_type = kDevice;
            params->sw_version = kSw;
            params->mac = mac_of(kMacText);
            ap->params = params;
        }
        registry.assign_mac_ip(mac_of(kMacText), kIp);
        sent();
        logged();
        return ap;
    }
    auto& own() { return Reporter::own(this->tracked, this->unauthed); }
    auto& other() { return Reporter::other(this->tracked, this->unauthed); }

    SentMsg event(const std::string& mac, uint32_t code, const std::string& device,
                  const std::string& sw, const std::string& ip, const std::string& reason) {
        return {164, {mac, std::to_string(code), device, sw, ip, Reporter::kPrefix + reason}};
    }
};

using Reporters = ::testing::Types<AuthReporter, FreeReporter>;
TYPED_TEST_SUITE(ApEventsTest, Reporters);

TYPED_TEST(ApEventsTest, ReasonOnlyGoesToBroadcastWithCodeZero) {
    TypeParam::report("hello");
    EXPECT_EQ(this->sent(), std::vector<SentMsg>{this->event(kBroadcast, 0, "", "", "", "hello")});
    // Nothing about the AP is known, so nothing is logged either.
    EXPECT_TRUE(this->logged().empty());
}

TYPED_TEST(ApEventsTest, CodeFollowsTheApState) {
    auto ap = this->add_ap(this->own());
    for (const auto& [state, code] : TypeParam::codes()) {
        SCOPED_TRACE(state);
        ap->state = state;
        TypeParam::report("by ip", kIp);
        TypeParam::report("by mac", std::nullopt, mac_of(kMacText));
        EXPECT_EQ(this->sent(),
                  (std::vector<SentMsg>{this->event(kMacText, code, kDevice, kSw, kIp, "by ip"),
                                        this->event(kMacText, code, kDevice, kSw, kIp, "by mac")}));
    }
}

struct CompletionCase {
    std::string name;
    bool ap_known;       // the AP is in the reporter's own registry
    bool ap_has_record;  // ... with a parsed request
    std::optional<std::string> ip;
    std::optional<std::string> mac;
    std::optional<std::string> device;
    std::optional<std::string> sw;
    // What goes out.
    std::string out_mac;
    bool coded;  // carries the code of the AP's state, else 0
    std::string out_device;
    std::string out_sw;
    std::string out_ip;
};

std::vector<CompletionCase> completion_cases() {
    return {
        {"mac of a known AP fills everything",
         true,
         true,
         {},
         kMacText,
         {},
         {},
         kMacText,
         true,
         kDevice,
         kSw,
         kIp},
        {"record beats what the caller gave", true, true, kIp, kOtherMacText, kOtherDevice,
         kOtherSw, kMacText, true, kDevice, kSw, kIp},
        {"given address wins over the MAC pairing", true, true, kOtherIp, kMacText, kOtherDevice,
         kOtherSw, kMacText, false, kOtherDevice, kOtherSw, kOtherIp},
        {"unknown address is sent as given", true, true, kOtherIp, kOtherMacText, kOtherDevice,
         kOtherSw, kOtherMacText, false, kOtherDevice, kOtherSw, kOtherIp},
        {"unknown MAC leaves the address empty",
         true,
         true,
         {},
         kOtherMacText,
         kOtherDevice,
         {},
         kOtherMacText,
         false,
         kOtherDevice,
         "",
         ""},
        {"address only, AP known", true, true, kIp, {}, {}, {}, kMacText, true, kDevice, kSw, kIp},
        {"AP without a record keeps the caller's values", true, false, kIp, kOtherMacText,
         kOtherDevice, kOtherSw, kOtherMacText, true, kOtherDevice, kOtherSw, kIp},
        {"AP without a record, address only",
         true,
         false,
         kIp,
         {},
         {},
         {},
         kBroadcast,
         true,
         "",
         "",
         kIp},
        {"AP without a record found by MAC",
         true,
         false,
         {},
         kMacText,
         {},
         {},
         kMacText,
         true,
         "",
         "",
         kIp},
        {"AP only in the other registry, by MAC",
         false,
         true,
         {},
         kMacText,
         kOtherDevice,
         {},
         kMacText,
         false,
         kOtherDevice,
         "",
         ""},
        {"AP only in the other registry, by address",
         false,
         true,
         kIp,
         {},
         {},
         kOtherSw,
         kBroadcast,
         false,
         "",
         kOtherSw,
         kIp},
    };
}

TYPED_TEST(ApEventsTest, CompletesMissingValuesFromItsOwnRegistry) {
    // A state with a non-zero code, so that a found AP shows.
    const auto [state, code] = TypeParam::codes()[1];
    ASSERT_NE(code, 0u);
    for (const auto& c : completion_cases()) {
        SCOPED_TRACE(c.name);
        this->own().clear();
        this->other().clear();
        if (c.ap_known) {
            this->add_ap(this->own(), c.ap_has_record)->state = state;
        } else {
            this->add_ap(this->other(), c.ap_has_record);
        }
        std::optional<MacAddr> mac;
        if (c.mac) {
            mac = mac_of(*c.mac);
        }
        TypeParam::report("r", c.ip, mac, c.device, c.sw);
        EXPECT_EQ(this->sent(),
                  std::vector<SentMsg>{this->event(c.out_mac, c.coded ? code : 0, c.out_device,
                                                   c.out_sw, c.out_ip, "r")});
    }
}

class SendersTest : public DialogueFixture {};

TEST_F(SendersTest, EventWithAbsentStringsSendsEmptyTexts) {
    const MacAddr mac = mac_of(kMacText);
    send_ap_event(mac, 7, "why", std::nullopt, std::nullopt, std::nullopt);
    send_ap_event(mac, 0, "", kIp, kDevice, kSw);
    EXPECT_EQ(sent(), (std::vector<SentMsg>{{164, {kMacText, "7", "", "", "", "why"}},
                                            {164, {kMacText, "0", kDevice, kSw, kIp, ""}}}));
}

TEST_F(SendersTest, RegistrationTimeoutCarriesTheMacText) {
    send_ap_reg_timeout(MacAddr::from_str("0A:0B:0C:0D:0E:0F"));
    EXPECT_EQ(sent(), (std::vector<SentMsg>{{106, {"0a:0b:0c:0d:0e:0f"}}}));
}

}  // namespace
