// AP event reports, completed from the reporter's own registry, and the
// messages the service sends about single APs.

#include "controller/ap_events.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include "controller/cert_auth.h"
#include "dialogue/ap_data_authorized.h"
#include "dialogue/ap_data_unauthorized.h"
#include "libs/ipc/ipc_port.h"
#include "platform/globals.h"
#include "tests/dialogue/dialogue_fixture.h"

namespace {

using Text = std::optional<std::string>;
const std::string kB = "ff:ff:ff:ff:ff:ff";
// The AP the registry knows (1), and values that differ from its record (2).
const std::string kIp = "192.168.1.20", kMac = "02:00:00:00:00:01", kDev = "AP-200", kSw = "4.5.6";
const std::string kIp2 = "192.168.1.99", kMac2 = "02:00:00:00:00:99", kDev2 = "AP-9", kSw2 = "0.1";

// The states by their event codes, a state with a code other than 0 first.
struct AuthSide {
    static constexpr auto report = &report_auth_ap_event;
    static constexpr const char* kPrefix = "SA_AUTH: ";
    static inline const std::vector<std::pair<ApRequestState, uint32_t>> kCodes = {
        {REQ_READY, 4}, {REQ_REGISTER, 0}, {REQ_FW_DECIDED, 5}, {REQ_UNKNOWN, 0}};
};
struct FreeSide {
    static constexpr auto report = &report_free_ap_event;
    static constexpr const char* kPrefix = "SA_FREE: ";
    static inline const std::vector<std::pair<UnauthedApSaState, uint32_t>> kCodes = {
        {JOIN_AUTO, 3},     {REGISTER, 0},     {WAIT_AUTH, 1},
        {JOIN_BY_ADMIN, 2}, {UPGRADING_FW, 5}, {UNKNOWN, 0}};
};

template <class Side>
class ApEventsTest : public DialogueFixture {
  protected:
    static constexpr size_t kOwn = std::is_same_v<Side, AuthSide> ? 0 : 1;
    auto& own() { return std::get<kOwn>(std::tie(tracked, unauthed)); }
    auto& other() { return std::get<1 - kOwn>(std::tie(tracked, unauthed)); }
    // Puts the AP into `registry`, with its request record if `record`, its MAC paired.
    template <class Registry>
    auto add_ap(Registry& registry, bool record) {
        registry.track(kIp, "/register/ap");
        auto ap = registry.find(kIp);
        const MacAddr mac = MacAddr::from_str(kMac.c_str());
        if (record) {
            ap->params = std::make_shared<ApRequestParams>(ApRequestParams{kDev, kSw, "", "", mac});
        }
        registry.assign_mac_ip(mac, kIp);
        sent(), logged();
        return ap;
    }
    SentMsg event(std::string mac, uint32_t code, std::string dev, std::string sw, std::string ip) {
        return {164, {mac, std::to_string(code), dev, sw, ip, Side::kPrefix + std::string("r")}};
    }
};

using Sides = ::testing::Types<AuthSide, FreeSide>;
TYPED_TEST_SUITE(ApEventsTest, Sides);

// The code is the AP state's only where the AP is the registry's own.
TYPED_TEST(ApEventsTest, CompletesMissingValuesFromItsOwnRegistry) {
    struct Case {
        int where;  // 0/1: own registry with/without record, 2: the other registry
        Text ip, mac, dev, sw;
        std::string out_mac;
        bool coded;  // carries the code of the AP's state, else 0
        std::string out_dev, out_sw, out_ip;
    };
    const std::vector<Case> cases = {
        {0, {}, {}, {}, {}, kB, false, "", "", ""},
        {0, {}, kMac, {}, {}, kMac, true, kDev, kSw, kIp},
        {0, kIp, kMac2, kDev2, kSw2, kMac, true, kDev, kSw, kIp},
        {0, kIp2, kMac, kDev2, kSw2, kMac, false, kDev2, kSw2, kIp2},
        {0, {}, kMac2, kDev2, {}, kMac2, false, kDev2, "", ""},
        {1, kIp, kMac2, kDev2, kSw2, kMac2, true, kDev2, kSw2, kIp},
        {1, kIp, {}, {}, {}, kB, true, "", "", kIp},
        {1, {}, kMac, {}, {}, kMac, true, "", "", kIp},
        {2, {}, kMac, kDev2, {}, kMac, false, kDev2, "", ""},
        {2, kIp, {}, {}, kSw2, kB, false, "", kSw2, kIp},
    };
    for (const auto& [state, code] : TypeParam::kCodes)
        for (size_t i = 0; i < cases.size(); ++i) {
            const auto& c = cases[i];
            SCOPED_TRACE(std::to_string(i) + " in state " + std::to_string(state));
            this->tracked.clear();
            this->unauthed.clear();
            if (c.where == 2)
                this->add_ap(this->other(), true);
            else
                this->add_ap(this->own(), c.where == 0)->state = state;
            const auto mac =
                c.mac ? std::optional(MacAddr::from_str(c.mac->c_str())) : std::nullopt;
            TypeParam::report("r", c.ip, mac, c.dev, c.sw);
            EXPECT_EQ(this->sent(),
                      std::vector<SentMsg>{this->event(c.out_mac, c.coded ? code : 0, c.out_dev,
                                                       c.out_sw, c.out_ip)});
            EXPECT_TRUE(this->logged().empty());
        }
}

using SendersTest = DialogueFixture;

TEST_F(SendersTest, FailedCertificateRequestIsLoggedForTheAp) {
    TempDir dir;
    Trace port_trace("CERTTEST");
    IpcPort lonely(SA_PORT_ID, port_trace, dir.path());  // nobody listens to it
    g_ipc_port = &lonely;
    const MacAddr mac = MacAddr::from_str("AA:BB:CC:00:11:22");
    send_cert_auth_ap("10.1.2.3", mac);
    g_ipc_port = &bed.port;
    EXPECT_EQ(logged(),
              (std::vector<LoggedLine>{{TraceCategory::ERROR, mac, "Can't send SA_CERT_AUTH_AP"}}));
    EXPECT_TRUE(sent().empty());
}

}  // namespace
