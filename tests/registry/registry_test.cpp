// Both AP registries against the real AP data objects, event reports and IPC
// port; time is fed by hand.

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "dialogue/ap_data_authorized.h"
#include "dialogue/ap_data_unauthorized.h"
#include "libs/cfg/cfg.h"
#include "platform/cfg_ptr.h"
#include "tests/dialogue/dialogue_fixture.h"

namespace {

const std::string kIp = "10.0.0.1", kIp2 = "10.0.0.2", kReg = "/register/ap", kWait = "/wait/ap";
using Lines = std::vector<LoggedLine>;
using Msgs = std::vector<SentMsg>;
using Texts = std::vector<std::string>;
constexpr auto kWarn = TraceCategory::WARN, kCore = TraceCategory::CORE,
               kEvents = TraceCategory::EVENTS;

std::string body_for(const std::string& mac, const std::string& device = "WLAP-200") {
    return R"({"deviceType":")" + device +
           R"(","swVersion":"2.4.1","hwVersion":"B","serial":"SN1","mac":")" + mac +
           R"(","timeout":30})";
}

std::string serialized(lcw_data_t* raw) {
    CfgTree tree(raw);
    const char* text = tree ? cfg_serialize_compact(tree.get()) : nullptr;
    return text != nullptr ? text : "<null>";
}

template <class Registry>
int request(Registry& registry, const std::string& ip, const std::string& path,
            const std::string& body) {
    registry.track(ip, path);
    registry.find(ip)->body = body;
    return registry.process_request(ip);
}

struct TrackedSide {
    using Registry = TrackedAps;
    static constexpr size_t kIndex = 0, kLife = 300;
    static constexpr const char *kPrefix = "SA_AUTH: ", *kKind = "authorized AP";
    static constexpr bool kTimeoutNotice = true;
};
struct UnauthedSide {
    using Registry = UnauthedAps;
    static constexpr size_t kIndex = 1, kLife = 360;
    static constexpr const char *kPrefix = "SA_FREE: ", *kKind = "unauthorized AP";
    static constexpr bool kTimeoutNotice = false;
};
template <class Side>
class RegistryTest : public DialogueFixture {
  protected:
    void seconds(uint32_t count) {
        for (uint32_t i = 0; i < count; ++i)
            reg.tick(timespec{++now, 0});
    }
    void drain() { sent(), logged(); }
    std::vector<std::string> reasons() {
        std::vector<std::string> out;
        for (const auto& msg : sent())
            if (msg.type == 164)
                out.push_back(msg.fields.at(5));
        return out;
    }

    typename Side::Registry& reg = std::get<Side::kIndex>(std::tie(tracked, unauthed));
    time_t now = 0;
};
using TrackedTest = RegistryTest<TrackedSide>;
using UnauthedTest = RegistryTest<UnauthedSide>;
using Sides = testing::Types<TrackedSide, UnauthedSide>;
TYPED_TEST_SUITE(RegistryTest, Sides);

TYPED_TEST(RegistryTest, ProcessRequestResults) {
    const MacAddr mac = MacAddr::from_str("00:1a:2b:3c:4d:01");
    struct Case {
        std::string path, body;
        int result;
        std::string reason;  // of the one event, without the side's prefix
    };
    const std::vector<Case> cases = {
        {"/report/ap", "not json", REPORT, ""},
        {kReg, "not json", BAD_JSON, "can`t parse json: not json"},
        {kReg, body_for(mac.str()), ANSWER_PENDING, "connection path /register/ap, valid AP json"},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        const auto& c = cases[i];
        const std::string ip = "10.0.0." + std::to_string(i + 1);
        EXPECT_EQ(request(this->reg, ip, c.path, c.body), c.result) << i;
        EXPECT_EQ(this->reg.size(), i + 1);  // a refused body keeps the entry
        EXPECT_EQ(this->reasons(),
                  c.reason.empty() ? Texts{} : std::vector{TypeParam::kPrefix + c.reason});
        EXPECT_EQ(this->reg.find_ip(mac) == ip, c.result == ANSWER_PENDING);
    }
    EXPECT_EQ(this->reg.process_request("10.9.9.9"), NOT_TRACKED);
    EXPECT_FALSE(this->reg.assign_mac_ip(mac, "10.9.9.9"));
}

TYPED_TEST(RegistryTest, CountdownStepsOncePerWholeSecondAndRestartsOnTrack) {
    auto& reg = this->reg;
    const MacAddr mac = MacAddr::from_str("00:1a:2b:3c:4d:11");
    request(reg, kIp, kReg, body_for("00:1A:2B:3C:4D:11", "WLAP-7"));
    reg.find(kIp)->reply.text = std::make_shared<std::string>("{}");
    const std::vector<std::pair<timespec, uint32_t>> ticks = {
        {{0, 900000000}, 0},                                      // the second of the start
        {{1, 0}, 1},         {{1, 999999999}, 1}, {{100, 0}, 2},  // a stall costs one step
        {{101, 5}, 3},
    };
    for (const auto& [at, steps] : ticks) {
        reg.tick(at);
        EXPECT_EQ(reg.find(kIp)->countdown, TypeParam::kLife - steps) << at.tv_sec;
    }
    reg.track(kIp, kReg);
    EXPECT_EQ(reg.size(), 1u);
    EXPECT_EQ(reg.find(kIp)->reply.text, nullptr);
    this->now = 101;
    this->drain();
    this->seconds(TypeParam::kLife - 1);
    ASSERT_NE(reg.find(kIp), nullptr);
    EXPECT_TRUE(this->logged().empty());
    this->seconds(1);
    EXPECT_EQ(reg.find(kIp), nullptr);
    EXPECT_EQ(reg.find_ip(mac), std::nullopt);
    const std::string kind = TypeParam::kKind;
    EXPECT_EQ(this->logged(), (Lines{{kWarn, mac, "Expired timeout for " + kind + " " + kIp}}));
    Msgs msgs{{164,
               {mac.str(), "0", "WLAP-7", "2.4.1", kIp,
                TypeParam::kPrefix + ("expired timeout for " + kind)}}};
    if (TypeParam::kTimeoutNotice)
        msgs.push_back({106, {mac.str()}});
    EXPECT_EQ(this->sent(), msgs);
}

TYPED_TEST(RegistryTest, MacFollowsItsNewestAddressAndGoesWithTheOldRecord) {
    auto& reg = this->reg;
    const MacAddr mac = MacAddr::from_str("00:1a:2b:3c:4d:02");
    request(reg, kIp, kReg, body_for(mac.str()));
    this->seconds(10);
    request(reg, kIp2, kReg, body_for(mac.str()));
    EXPECT_EQ(reg.find_ip(mac), kIp2);
    EXPECT_EQ(reg.find_mac(kIp), std::nullopt);
    EXPECT_EQ(reg.find_mac(kIp2), mac);
    this->seconds(TypeParam::kLife - 10);
    EXPECT_EQ(reg.find(kIp), nullptr);
    ASSERT_NE(reg.find(kIp2), nullptr);
    // The old record carried the same MAC, so its pair went with it.
    EXPECT_EQ(reg.find_ip(mac), std::nullopt);
}

// One address may hold several MACs; its MAC is the least of them, and the
// answer must follow every re-pointing.
TYPED_TEST(RegistryTest, AddressWithSeveralMacsAnswersTheLeast) {
    auto& reg = this->reg;
    const MacAddr low = MacAddr::from_str("00:00:00:00:00:01");
    const MacAddr mid = MacAddr::from_str("00:00:00:00:00:02");
    const MacAddr high = MacAddr::from_str("ff:00:00:00:00:00");
    reg.track(kIp, kReg);
    reg.track(kIp2, kReg);
    const std::vector<std::tuple<MacAddr, std::string, std::optional<MacAddr>>> steps = {
        {high, kIp, high}, {mid, kIp, mid},   {low, kIp, low},
        {low, kIp2, mid},  {mid, kIp2, high}, {high, kIp2, std::nullopt},
    };
    for (const auto& [mac, ip, mac_of_first] : steps) {
        ASSERT_TRUE(reg.assign_mac_ip(mac, ip));
        EXPECT_EQ(reg.find_mac(kIp), mac_of_first) << mac.str() << " -> " << ip;
    }
    EXPECT_EQ(reg.find_mac(kIp2), low);
    reg.clear();
    EXPECT_EQ(reg.find_mac(kIp2), std::nullopt);
}

TYPED_TEST(RegistryTest, UntrackAndClearTakeThePairsAlong) {
    auto& reg = this->reg;
    const MacAddr mac = MacAddr::from_str("00:1a:2b:3c:4d:03");
    const MacAddr mac2 = MacAddr::from_str("00:1a:2b:3c:4d:04");
    reg.untrack(kIp);
    EXPECT_TRUE(this->logged().empty());
    EXPECT_TRUE(this->sent().empty());
    request(reg, kIp, kReg, body_for(mac.str()));
    request(reg, kIp2, kReg, body_for(mac2.str()));
    this->drain();

    reg.untrack(kIp);
    EXPECT_EQ(reg.size(), 1u);
    EXPECT_EQ(reg.find_ip(mac), std::nullopt);
    EXPECT_EQ(this->logged(),
              (Lines{{kCore, mac, "TRACK AP: Remove from tracking [" + kIp + "]"}}));
    EXPECT_EQ(this->reasons(), Texts{TypeParam::kPrefix + std::string("remove from tracking")});

    reg.clear();
    this->seconds(TypeParam::kLife + 5);
    EXPECT_EQ(reg.size(), 0u);
    EXPECT_EQ(reg.find_ip(mac2), std::nullopt);
    EXPECT_TRUE(this->logged().empty());
    EXPECT_TRUE(this->sent().empty());
}

// ---- tracked APs ----

TEST_F(TrackedTest, TrackIsReportedForPairedAddressesOnly) {
    const MacAddr mac = MacAddr::from_str("00:1a:2b:3c:4d:10");
    request(reg, kIp, kReg, body_for(mac.str()));
    for (const auto& [ip, paired] : {std::pair{kIp, std::optional(mac)}, {kIp2, std::nullopt}}) {
        drain();
        reg.track(ip, "/ready/ap");
        EXPECT_EQ(logged(),
                  (Lines{{kCore, paired,
                          "TRACK AP: Start tracking [" + ip + "] with path [/ready/ap]"}}));
        EXPECT_EQ(reasons(),
                  paired ? Texts{"SA_AUTH: start tracking AP with path [/ready/ap]"} : Texts{});
    }
}

// ---- unauthorized APs ----

TEST_F(UnauthedTest, TrackTracesTheStateAndACompletedUpgrade) {
    const MacAddr mac = MacAddr::from_str("00:1a:2b:3c:4d:20");
    const std::string done = "firmware upgrade of unauthorized AP 10.0.0.1: completed";
    const std::string start = "start tracking unauthorized AP [10.0.0.1]";
    struct Case {
        bool paired, upgrading;
        std::string path;
        std::vector<std::string> lines;
    };
    const std::vector<Case> cases = {
        {true, false, kReg, {start + ", state [REGISTER]"}},
        {true, true, "/ready/ap", {done, start + ", state [UNKNOWN]"}},
        {false, true, kWait, {done, start + " state [WAIT_AUTH]"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        reg.clear();
        reg.track(kIp, kReg);
        if (c.paired)
            reg.assign_mac_ip(mac, kIp);
        reg.find(kIp)->state = c.upgrading ? UPGRADING_FW : REGISTER;
        drain();
        reg.track(kIp, c.path);
        Lines lines;
        for (const auto& text : c.lines)
            lines.push_back({kEvents, c.paired ? std::optional(mac) : std::nullopt, text});
        EXPECT_EQ(logged(), lines);
        EXPECT_EQ(reasons().size(), c.paired ? 1u : 0u);
    }
}

TEST_F(UnauthedTest, StatesInTracesAndLists) {
    struct Case {
        uint32_t state;
        std::string name, status;
        uint32_t code;
    };
    const std::vector<Case> cases = {
        {0, "REGISTER", "registering", 1},
        {1, "WAIT_AUTH", "awaited", 2},
        {2, "JOIN_BY_ADMIN", "join-by-admin", 3},
        {3, "JOIN_AUTO", "join-auto", 4},
        {4, "UPGRADING_FW", "upgrading fw", 6},
        {5, "UNKNOWN", "", 0},
        {6, "UNKNOWN", "", 0},
    };
    const MacAddr mac = MacAddr::from_str("00:1a:2b:3c:4d:21");
    request(reg, kIp, kReg, body_for(mac.str()));
    seconds(3);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.state);
        reg.find(kIp)->state = static_cast<UnauthedApSaState>(c.state);
        drain();
        EXPECT_STREQ(UnauthedAps::state_name(c.state), c.name.c_str());
        EXPECT_EQ(serialized(reg.mac_statuses()),
                  R"({"00:1a:2b:3c:4d:21":{"sa-status":")" + c.status + R"("}})");
        std::vector<SaApsInfo::ApInfo> infos;
        reg.collect_infos(infos);
        ASSERT_EQ(infos.size(), 1u);
        EXPECT_EQ(infos[0].state, c.code);
        // The state set on purpose but never expected in a list is an error.
        Lines lines(c.state == UNKNOWN, {TraceCategory::ERROR, {}, "UnauthedApSaState::UNKNOWN"});
        lines.push_back({TraceCategory::AP, mac, "Unauthed ap 10.0.0.1 age 357"});
        EXPECT_EQ(logged(), lines);
    }
}

TEST_F(UnauthedTest, UpgradeThatNeverReturnsFails) {
    const MacAddr mac = MacAddr::from_str("00:1a:2b:3c:4d:22");
    request(reg, kIp, kReg, body_for(mac.str()));
    reg.find(kIp)->on_check_result(0, kIp, 0, 3, "fw.bin", false);
    drain();
    seconds(360);
    EXPECT_EQ(logged().at(0),
              (LoggedLine{kWarn, mac, "firmware upgrade of unauthorized AP 10.0.0.1: failed"}));
    EXPECT_EQ(reasons(), Texts{"SA_FREE: expired timeout for unauthorized AP"});
}

TEST_F(UnauthedTest, AuthenticateByAdminOrAuto) {
    const MacAddr mac = MacAddr::from_str("00:1a:2b:3c:4d:30");
    for (const bool by_admin : {true, false}) {
        SCOPED_TRACE(by_admin);
        request(reg, kIp, kWait, body_for(mac.str()));
        drain();
        EXPECT_EQ(reg.authenticate(mac, by_admin, by_admin), AUTH_STARTED);
        EXPECT_EQ(reg.find(kIp)->state, by_admin ? JOIN_BY_ADMIN : JOIN_AUTO);
        EXPECT_EQ(reg.notify_admin(kIp), by_admin);
        const std::string how = by_admin ? "by admin" : "auto";
        EXPECT_EQ(logged(), (Lines{{kEvents, mac, "authenticating AP [10.0.0.1] " + how}}));
        // Reported while the AP still waits (code 1).
        if (by_admin) {
            EXPECT_EQ(
                sent(),
                (Msgs{{164, {mac.str(), "1", "WLAP-200", "2.4.1", kIp, "SA_FREE: authenticating"}},
                      {140, {kIp, mac.str()}}}));
        }
        // Until it polls again.
        EXPECT_EQ(reg.authenticate(mac, true, true), AUTH_NOT_WAITING);
    }
    EXPECT_FALSE(reg.notify_admin("10.9.9.9"));
}

TEST_F(UnauthedTest, AuthenticateWaiting) {
    const MacAddr waiting = MacAddr::from_str("00:1a:2b:3c:4d:40");
    const MacAddr at_empty_address = MacAddr::from_str("00:1a:2b:3c:4d:41");
    request(reg, kIp, kWait, body_for(waiting.str()));
    request(reg, kIp2, kReg, body_for("00:1a:2b:3c:4d:42"));
    reg.track("10.0.0.3", kWait);  // waits, but never declared a MAC
    // An AP at an empty address cannot be authenticated by its MAC.
    request(reg, "", kWait, body_for(at_empty_address.str()));
    drain();

    EXPECT_EQ(reg.authenticate_waiting(), std::vector<MacAddr>{at_empty_address});
    EXPECT_EQ(reg.find(kIp)->state, JOIN_BY_ADMIN);
    EXPECT_FALSE(reg.notify_admin(kIp));
    EXPECT_EQ(reg.find("10.0.0.3")->state, WAIT_AUTH);
    Texts warnings;
    for (const auto& line : logged())
        if (line.category == kWarn)
            warnings.push_back(line.text);
    EXPECT_EQ(warnings, (Texts{"AP [10.0.0.2] is not waiting authentication: state 'registering'",
                               "AP [10.0.0.3] in ap_data, but not in ap_mac_to_ip"}));
    EXPECT_EQ(reasons(),
              (Texts{"SA_FREE: authenticating", "SA_FREE: AP is not waiting authentication"}));
}

}  // namespace
