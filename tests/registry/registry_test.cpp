// Both AP registries against the real AP data objects, event reports and IPC
// port; time is fed by hand.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dialogue/ap_data_authorized.h"
#include "dialogue/ap_data_unauthorized.h"
#include "dialogue/sa_config.h"
#include "libs/cfg/cfg.h"
#include "libs/ipc/messages.h"
#include "platform/cfg_ptr.h"
#include "registry/tracked_aps.h"
#include "registry/unauthed_aps.h"
#include "tests/registry/trace_capture.h"
#include "tests/support/ipc_test_bed.h"

namespace {

constexpr time_t kStart = 5000;

std::string body_for(const std::string& mac, const std::string& device_type = "WLAP-200") {
    return R"({"deviceType":")" + device_type +
           R"(","swVersion":"2.4.1","hwVersion":"B","serial":"SN1","mac":")" + mac +
           R"(","timeout":30})";
}

std::string serialized(lcw_data_t* raw) {
    CfgTree tree(raw);
    if (!tree)
        return "<null>";
    const char* text = cfg_serialize_compact(tree.get());
    return text != nullptr ? text : "<null>";
}

// What the registries sent through the port, by message class.
struct Sent {
    std::vector<std::shared_ptr<IMsg>> all;

    template <class M>
    std::vector<std::shared_ptr<M>> of() const {
        std::vector<std::shared_ptr<M>> out;
        for (const auto& msg : all) {
            if (auto typed = std::dynamic_pointer_cast<M>(msg))
                out.push_back(typed);
        }
        return out;
    }
    std::vector<std::string> reasons() const {
        std::vector<std::string> out;
        for (const auto& event : of<IPC_MSG__SA_AP_EVENT>())
            out.push_back(*event->reason);
        return out;
    }
};

class RegistryTest : public testing::Test {
  protected:
    void SetUp() override {
        g_ipc_port = &bed.port;
        g_sa_config = &config;
        g_tracked_aps = &tracked;
        g_unauthed_aps = &unauthed;
    }
    void TearDown() override {
        g_ipc_port = nullptr;
        g_sa_config = nullptr;
        g_tracked_aps = nullptr;
        g_unauthed_aps = nullptr;
    }

    template <class Registry>
    int request(Registry& registry, const std::string& ip, const std::string& path,
                const std::string& body) {
        registry.track(ip, path);
        registry.find(ip)->body = body;
        return registry.process_request(ip);
    }
    // `count` whole-second changes of the monotonic clock.
    template <class Registry>
    void seconds(Registry& registry, int count) {
        for (int i = 0; i < count; ++i)
            registry.tick(timespec{++now, 0});
    }
    Sent sent() { return Sent{bed.drain()}; }

  public:  // the side cases below pick their registry
    IpcTestBed bed;
    SaConfig config;
    TrackedAps tracked{config, timespec{kStart, 0}};
    UnauthedAps unauthed{config, timespec{kStart, 0}};
    TraceCapture trace;
    time_t now = kStart;
};

// The parts the two sides share, run on each of them.
struct TrackedSideCase {
    static TrackedAps& registry(RegistryTest& t) { return t.tracked; }
    static constexpr uint32_t kLife = 300;
    static constexpr const char* kPrefix = "SA_AUTH: ";
    static constexpr const char* kExpired = "Expired timeout for authorized AP ";
    static constexpr const char* kReason = "expired timeout for authorized AP";
};
struct UnauthedSideCase {
    static UnauthedAps& registry(RegistryTest& t) { return t.unauthed; }
    static constexpr uint32_t kLife = 360;
    static constexpr const char* kPrefix = "SA_FREE: ";
    static constexpr const char* kExpired = "Expired timeout for unauthorized AP ";
    static constexpr const char* kReason = "expired timeout for unauthorized AP";
};

template <class Side>
class BothRegistriesTest : public RegistryTest {};
using Sides = testing::Types<TrackedSideCase, UnauthedSideCase>;
TYPED_TEST_SUITE(BothRegistriesTest, Sides);

TYPED_TEST(BothRegistriesTest, ProcessRequestResults) {
    auto& reg = TypeParam::registry(*this);
    const std::string mac = "00:1a:2b:3c:4d:01";
    struct Case {
        std::string path, body;
        int result;
        std::vector<std::string> reasons;  // without the side's prefix
        bool paired;
    };
    const std::vector<Case> cases = {
        {"/report/ap", "not json", REPORT, {}, false},
        {"/register/ap", "not json", BAD_JSON, {"can`t parse json: not json"}, false},
        {"/register/ap",
         body_for(mac),
         ANSWER_PENDING,
         {"connection path /register/ap, valid AP json"},
         true},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        const auto& c = cases[i];
        SCOPED_TRACE(c.body);
        const std::string ip = "10.0.0." + std::to_string(i + 1);
        this->trace.clear();
        EXPECT_EQ(this->request(reg, ip, c.path, c.body), c.result);
        EXPECT_EQ(reg.size(), i + 1);  // a refused body keeps the entry
        std::vector<std::string> expected;
        for (const auto& reason : c.reasons)
            expected.push_back(TypeParam::kPrefix + reason);
        EXPECT_EQ(this->sent().reasons(), expected);
        EXPECT_EQ(this->trace.count("parsing json:"), c.result == REPORT ? 0 : 1);
        EXPECT_EQ(reg.find_ip(MacAddr::from_str(mac.c_str())) == ip, c.paired);
    }
    EXPECT_EQ(reg.process_request("10.9.9.9"), NOT_TRACKED);
    EXPECT_FALSE(reg.assign_mac_ip(MacAddr::from_str(mac.c_str()), "10.9.9.9"));
}

TYPED_TEST(BothRegistriesTest, TrackAgainKeepsOneEntryAndRestartsIt) {
    auto& reg = TypeParam::registry(*this);
    reg.track("10.0.0.1", "/register/ap");
    reg.find("10.0.0.1")->reply.text = std::make_shared<std::string>("{}");
    this->seconds(reg, 10);
    EXPECT_EQ(reg.find("10.0.0.1")->countdown, TypeParam::kLife - 10);
    reg.track("10.0.0.1", "/register/ap");
    EXPECT_EQ(reg.size(), 1u);
    EXPECT_EQ(reg.find("10.0.0.1")->countdown, TypeParam::kLife);
    EXPECT_EQ(reg.find("10.0.0.1")->reply.text, nullptr);
}

TYPED_TEST(BothRegistriesTest, ExpiresAfterItsLifeOfWholeSeconds) {
    const std::vector<std::pair<uint32_t, bool>> cases = {
        {TypeParam::kLife - 1, true},
        {TypeParam::kLife, false},
    };
    for (const auto& [steps, present] : cases) {
        SCOPED_TRACE(steps);
        auto& reg = TypeParam::registry(*this);
        reg.clear();
        this->trace.clear();
        reg.track("10.0.0.1", "/register/ap");
        this->seconds(reg, static_cast<int>(steps));
        EXPECT_EQ(reg.find("10.0.0.1") != nullptr, present);
        EXPECT_EQ(this->trace.count(TypeParam::kExpired + std::string("10.0.0.1")),
                  present ? 0 : 1);
    }
}

TYPED_TEST(BothRegistriesTest, OneStepPerChangeOfTheWholeSecond) {
    auto& reg = TypeParam::registry(*this);
    reg.track("10.0.0.1", "/register/ap");
    struct Tick {
        timespec at;
        uint32_t steps_so_far;
    };
    const std::vector<Tick> ticks = {
        {{kStart, 900000000}, 0},      // same second as the start
        {{kStart + 1, 0}, 1},          //
        {{kStart + 1, 999999999}, 1},  // second tick within one second
        {{kStart + 100, 0}, 2},        // a stall costs one step
        {{kStart + 101, 5}, 3},
    };
    for (const auto& t : ticks) {
        SCOPED_TRACE(t.at.tv_sec);
        reg.tick(t.at);
        EXPECT_EQ(reg.find("10.0.0.1")->countdown, TypeParam::kLife - t.steps_so_far);
    }
}

TYPED_TEST(BothRegistriesTest, MacFollowsItsNewestAddressAndGoesWithTheOldRecord) {
    auto& reg = TypeParam::registry(*this);
    const MacAddr mac = MacAddr::from_str("00:1a:2b:3c:4d:02");
    this->request(reg, "10.0.0.1", "/register/ap", body_for(mac.str()));
    this->seconds(reg, 10);
    this->request(reg, "10.0.0.2", "/register/ap", body_for(mac.str()));
    EXPECT_EQ(reg.find_ip(mac), "10.0.0.2");
    EXPECT_EQ(reg.find_mac("10.0.0.1"), std::nullopt);
    EXPECT_EQ(reg.find_mac("10.0.0.2"), mac);
    this->sent();

    this->seconds(reg, static_cast<int>(TypeParam::kLife) - 10);
    EXPECT_EQ(reg.find("10.0.0.1"), nullptr);
    ASSERT_NE(reg.find("10.0.0.2"), nullptr);
    // The old record carried the same MAC, so its pair went with it.
    EXPECT_EQ(reg.find_ip(mac), std::nullopt);
    const TraceLine* expired = this->trace.find(TypeParam::kExpired + std::string("10.0.0.1"));
    ASSERT_NE(expired, nullptr);
    EXPECT_EQ(expired->category, TraceCategory::WARN);
    EXPECT_EQ(expired->mac, std::nullopt);
    EXPECT_EQ(this->sent().reasons(),
              std::vector<std::string>{TypeParam::kPrefix + std::string(TypeParam::kReason)});
}

// One address may hold several MACs; its MAC is the least of them, and the
// answer must follow every re-pointing.
TYPED_TEST(BothRegistriesTest, AddressWithSeveralMacsAnswersTheLeast) {
    auto& reg = TypeParam::registry(*this);
    const MacAddr low = MacAddr::from_str("00:00:00:00:00:01");
    const MacAddr mid = MacAddr::from_str("00:00:00:00:00:02");
    const MacAddr high = MacAddr::from_str("ff:00:00:00:00:00");
    reg.track("10.0.0.1", "/register/ap");
    reg.track("10.0.0.2", "/register/ap");
    struct Step {
        const MacAddr* mac;
        const char* ip;
        std::optional<MacAddr> mac_of_first;
    };
    const Step steps[] = {
        {&high, "10.0.0.1", high}, {&mid, "10.0.0.1", mid},
        {&low, "10.0.0.1", low},   {&low, "10.0.0.2", mid},  // re-pointed away
        {&mid, "10.0.0.2", high},  {&high, "10.0.0.2", std::nullopt},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.mac->str() + " -> " + step.ip);
        ASSERT_TRUE(reg.assign_mac_ip(*step.mac, step.ip));
        EXPECT_EQ(reg.find_mac("10.0.0.1"), step.mac_of_first);
    }
    EXPECT_EQ(reg.find_mac("10.0.0.2"), low);
    reg.clear();
    EXPECT_EQ(reg.find_mac("10.0.0.2"), std::nullopt);
}

TYPED_TEST(BothRegistriesTest, UntrackErasesThePairOfItsRecord) {
    auto& reg = TypeParam::registry(*this);
    const MacAddr mac = MacAddr::from_str("00:1a:2b:3c:4d:03");
    reg.untrack("10.0.0.1");
    EXPECT_TRUE(this->trace.lines.empty());
    EXPECT_TRUE(this->sent().all.empty());

    this->request(reg, "10.0.0.1", "/register/ap", body_for(mac.str(), "WLAP-9"));
    this->sent();
    reg.untrack("10.0.0.1");
    EXPECT_EQ(reg.size(), 0u);
    EXPECT_EQ(reg.find_ip(mac), std::nullopt);
    const TraceLine* line = this->trace.find("TRACK AP: Remove from tracking [10.0.0.1]");
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(line->mac, mac);
    const auto events = this->sent().template of<IPC_MSG__SA_AP_EVENT>();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(*events[0]->reason, TypeParam::kPrefix + std::string("remove from tracking"));
    EXPECT_EQ(*events[0]->mac, mac.str());
    EXPECT_EQ(*events[0]->device_type, "WLAP-9");  // completed from the entry
}

TYPED_TEST(BothRegistriesTest, ClearForgetsEverythingSilently) {
    auto& reg = TypeParam::registry(*this);
    this->request(reg, "10.0.0.1", "/register/ap", body_for("00:1a:2b:3c:4d:04"));
    reg.track("10.0.0.2", "/register/ap");
    this->sent();
    this->trace.clear();
    reg.clear();
    this->seconds(reg, static_cast<int>(TypeParam::kLife) + 5);
    EXPECT_EQ(reg.size(), 0u);
    EXPECT_EQ(reg.find_ip(MacAddr::from_str("00:1a:2b:3c:4d:04")), std::nullopt);
    EXPECT_TRUE(this->trace.lines.empty());
    EXPECT_TRUE(this->sent().all.empty());
}

TYPED_TEST(BothRegistriesTest, ListsSkipApsWithoutRecord) {
    auto& reg = TypeParam::registry(*this);
    EXPECT_EQ(serialized(reg.mac_statuses()), "{}");
    reg.track("10.0.0.1", "/register/ap");
    EXPECT_EQ(serialized(reg.mac_statuses()), "{}");
    std::vector<SaApsInfo::ApInfo> infos;
    reg.collect_infos(infos);
    EXPECT_TRUE(infos.empty());

    // Key order of the addresses, one member per distinct MAC.
    this->request(reg, "10.0.0.9", "/register/ap", body_for("00:00:00:00:00:0b"));
    this->request(reg, "10.0.0.10", "/register/ap", body_for("00:00:00:00:00:0a"));
    this->request(reg, "10.0.0.11", "/register/ap", body_for("00:00:00:00:00:0a"));
    reg.collect_infos(infos);
    std::vector<std::string> ips;
    for (const auto& info : infos)
        ips.push_back(info.ip.str());
    EXPECT_EQ(ips, (std::vector<std::string>{"10.0.0.10", "10.0.0.11", "10.0.0.9"}));
    CfgTree tree(reg.mac_statuses());
    ASSERT_NE(tree, nullptr);
    EXPECT_NE(cfg_get_subtree_from_path(tree.get(), "/00:00:00:00:00:0a/sa-status"), nullptr);
    EXPECT_NE(cfg_get_subtree_from_path(tree.get(), "/00:00:00:00:00:0b/sa-status"), nullptr);
    EXPECT_EQ(cfg_get_subtree_from_path(tree.get(), "/00:00:00:00:00:00"), nullptr);
}

// ---- tracked APs ----

TEST_F(RegistryTest, TrackedTrackTraceAndEvent) {
    const MacAddr mac = MacAddr::from_str("00:1a:2b:3c:4d:10");
    request(tracked, "10.0.0.1", "/register/ap", body_for(mac.str()));
    struct Case {
        std::string ip;
        std::optional<MacAddr> mac;  // paired with the address before the request
    };
    const std::vector<Case> cases = {{"10.0.0.1", mac}, {"10.0.0.2", std::nullopt}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ip);
        sent();
        trace.clear();
        tracked.track(c.ip, "/ready/ap");
        const TraceLine* line =
            trace.find("TRACK AP: Start tracking [" + c.ip + "] with path [/ready/ap]");
        ASSERT_NE(line, nullptr);
        EXPECT_EQ(line->category, TraceCategory::CORE);
        EXPECT_EQ(line->mac, c.mac);
        const auto reasons = sent().reasons();
        EXPECT_EQ(reasons, c.mac ? std::vector<std::string>{"SA_AUTH: start tracking AP with "
                                                            "path [/ready/ap]"}
                                 : std::vector<std::string>{});
    }
}

TEST_F(RegistryTest, TrackedExpiryNoticeOnlyForApsWithRecord) {
    const MacAddr mac = MacAddr::from_str("00:1A:2B:3C:4D:11");
    request(tracked, "10.0.0.1", "/register/ap", body_for("00:1A:2B:3C:4D:11", "WLAP-7"));
    tracked.track("10.0.0.2", "/register/ap");  // never sends a body
    sent();
    seconds(tracked, 300);
    EXPECT_EQ(tracked.size(), 0u);
    const Sent out = sent();
    const auto notices = out.of<IPC_MSG__SA_AP_REG_TIMEOUT>();
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(*notices[0]->mac, "00:1a:2b:3c:4d:11");
    const auto events = out.of<IPC_MSG__SA_AP_EVENT>();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(*events[0]->ip, "10.0.0.1");
    EXPECT_EQ(*events[0]->device_type, "WLAP-7");
    EXPECT_EQ(*events[1]->ip, "10.0.0.2");
    EXPECT_EQ(*events[1]->device_type, "");
    EXPECT_EQ(tracked.find_ip(mac), std::nullopt);
}

TEST_F(RegistryTest, TrackedListsAreJoined) {
    request(tracked, "10.0.0.1", "/register/ap", body_for("00:1a:2b:3c:4d:12", "WLAP-1"));
    EXPECT_EQ(serialized(tracked.mac_statuses()),
              R"({"00:1a:2b:3c:4d:12":{"sa-status":"joined"}})");
    std::vector<SaApsInfo::ApInfo> infos;
    tracked.collect_infos(infos);
    ASSERT_EQ(infos.size(), 1u);
    EXPECT_EQ(infos[0].state, 5u);
    EXPECT_EQ(infos[0].device_type, "WLAP-1");
    EXPECT_EQ(infos[0].mac.str(), "00:1a:2b:3c:4d:12");
    EXPECT_EQ(infos[0].ip.str(), "10.0.0.1");
}

// ---- unauthorized APs ----

TEST_F(RegistryTest, UnauthedTrackTraces) {
    const MacAddr mac = MacAddr::from_str("00:1a:2b:3c:4d:20");
    struct Case {
        bool paired, upgrading;
        std::string path, state;
        std::vector<std::string> lines;
    };
    const std::vector<Case> cases = {
        {false,
         false,
         "/wait/ap",
         "WAIT_AUTH",
         {"start tracking unauthorized AP [10.0.0.1] state [WAIT_AUTH]"}},
        {true,
         false,
         "/register/ap",
         "REGISTER",
         {"start tracking unauthorized AP [10.0.0.1], state [REGISTER]"}},
        {true,
         true,
         "/ready/ap",
         "UNKNOWN",
         {"firmware upgrade of unauthorized AP 10.0.0.1: completed",
          "start tracking unauthorized AP [10.0.0.1], state [UNKNOWN]"}},
        {false,
         true,
         "/wait/ap",
         "WAIT_AUTH",
         {"firmware upgrade of unauthorized AP 10.0.0.1: completed",
          "start tracking unauthorized AP [10.0.0.1] state [WAIT_AUTH]"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        unauthed.clear();
        if (c.paired || c.upgrading)
            unauthed.track("10.0.0.1", "/register/ap");
        if (c.paired)
            unauthed.assign_mac_ip(mac, "10.0.0.1");
        if (c.upgrading)
            unauthed.find("10.0.0.1")->state = UPGRADING_FW;
        sent();
        trace.clear();
        unauthed.track("10.0.0.1", c.path);
        EXPECT_EQ(trace.texts(TraceCategory::EVENTS), c.lines);
        for (const auto& line : trace.lines) {
            EXPECT_EQ(line.mac, c.paired ? std::optional(mac) : std::nullopt);
        }
        EXPECT_EQ(UnauthedAps::state_name(unauthed.find("10.0.0.1")->state), c.state);
        EXPECT_EQ(sent().reasons().size(), c.paired ? 1u : 0u);
    }
}

TEST_F(RegistryTest, UnauthedStatesInTracesAndLists) {
    struct Case {
        uint32_t state;
        std::string name, status;
        uint32_t code;
        int error_lines;  // "UnauthedApSaState::UNKNOWN" per status lookup
    };
    const std::vector<Case> cases = {
        {0, "REGISTER", "registering", 1, 0},
        {1, "WAIT_AUTH", "awaited", 2, 0},
        {2, "JOIN_BY_ADMIN", "join-by-admin", 3, 0},
        {3, "JOIN_AUTO", "join-auto", 4, 0},
        {4, "UPGRADING_FW", "upgrading fw", 6, 0},
        {5, "UNKNOWN", "", 0, 1},
        {6, "UNKNOWN", "", 0, 0},
        {1000, "UNKNOWN", "", 0, 0},
    };
    request(unauthed, "10.0.0.1", "/register/ap", body_for("00:1a:2b:3c:4d:21"));
    seconds(unauthed, 3);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.state);
        unauthed.find("10.0.0.1")->state = static_cast<UnauthedApSaState>(c.state);
        trace.clear();
        EXPECT_STREQ(UnauthedAps::state_name(c.state), c.name.c_str());
        EXPECT_EQ(UnauthedAps::status_text(c.state), c.status);
        EXPECT_EQ(serialized(unauthed.mac_statuses()),
                  R"({"00:1a:2b:3c:4d:21":{"sa-status":")" + c.status + R"("}})");
        EXPECT_EQ(trace.count("UnauthedApSaState::UNKNOWN"), 2 * c.error_lines);

        trace.clear();
        std::vector<SaApsInfo::ApInfo> infos;
        unauthed.collect_infos(infos);
        ASSERT_EQ(infos.size(), 1u);
        EXPECT_EQ(infos[0].state, c.code);
        const TraceLine* age = trace.find("Unauthed ap 10.0.0.1 age 357");
        ASSERT_NE(age, nullptr);
        EXPECT_EQ(age->category, TraceCategory::AP);
        EXPECT_EQ(age->mac, infos[0].mac);
    }
}

TEST_F(RegistryTest, UnauthedUpgradeThatNeverReturnsFails) {
    request(unauthed, "10.0.0.1", "/register/ap", body_for("00:1a:2b:3c:4d:22"));
    unauthed.find("10.0.0.1")->on_check_result(0, "10.0.0.1", 0, 3, "fw.bin", false);
    ASSERT_TRUE(unauthed.find("10.0.0.1")->is_upgrading());
    sent();
    trace.clear();
    seconds(unauthed, 360);
    EXPECT_EQ(trace.texts(TraceCategory::WARN),
              (std::vector<std::string>{"firmware upgrade of unauthorized AP 10.0.0.1: failed",
                                        "Expired timeout for unauthorized AP 10.0.0.1"}));
    const Sent out = sent();
    EXPECT_EQ(out.reasons(),
              std::vector<std::string>{"SA_FREE: expired timeout for unauthorized AP"});
    EXPECT_TRUE(out.of<IPC_MSG__SA_AP_REG_TIMEOUT>().empty());
}

TEST_F(RegistryTest, UnauthedAuthenticate) {
    const MacAddr waiting = MacAddr::from_str("00:1a:2b:3c:4d:30");
    const MacAddr registering = MacAddr::from_str("00:1a:2b:3c:4d:31");
    request(unauthed, "10.0.0.1", "/wait/ap", body_for(waiting.str()));
    request(unauthed, "10.0.0.2", "/register/ap", body_for(registering.str()));
    struct Case {
        MacAddr mac;
        bool by_admin;
        AuthResult result;
        UnauthedApSaState state_after;
        bool notify_after;
    };
    const std::vector<Case> cases = {
        {MacAddr::from_str("00:00:00:00:00:99"), true, AUTH_NOT_FOUND, WAIT_AUTH, false},
        {registering, true, AUTH_NOT_WAITING, WAIT_AUTH, false},
        {waiting, true, AUTH_STARTED, JOIN_BY_ADMIN, true},
        {waiting, true, AUTH_NOT_WAITING, JOIN_BY_ADMIN, true},  // until it polls again
    };
    sent();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mac.str());
        trace.clear();
        EXPECT_EQ(unauthed.authenticate(c.mac, c.by_admin, true), c.result);
        EXPECT_EQ(unauthed.find("10.0.0.1")->state, c.state_after);
        EXPECT_EQ(unauthed.notify_admin("10.0.0.1"), c.notify_after);
        const Sent out = sent();
        const auto certs = out.of<IPC_MSG__SA_CERT_AUTH_AP>();
        if (c.result != AUTH_STARTED) {
            EXPECT_TRUE(out.all.empty());
            EXPECT_TRUE(trace.lines.empty());
            continue;
        }
        ASSERT_EQ(certs.size(), 1u);
        EXPECT_EQ(*certs[0]->ip, "10.0.0.1");
        EXPECT_EQ(*certs[0]->mac, waiting.str());
        EXPECT_EQ(out.reasons(), std::vector<std::string>{"SA_FREE: authenticating"});
        const TraceLine* line = trace.find("authenticating AP [10.0.0.1] by admin");
        ASSERT_NE(line, nullptr);
        EXPECT_EQ(line->mac, waiting);
    }
    // Polling again makes it wait again; this time it is started automatically.
    request(unauthed, "10.0.0.1", "/wait/ap", body_for(waiting.str()));
    EXPECT_EQ(unauthed.authenticate(waiting, false, false), AUTH_STARTED);
    EXPECT_EQ(unauthed.find("10.0.0.1")->state, JOIN_AUTO);
    EXPECT_FALSE(unauthed.notify_admin("10.0.0.1"));
    EXPECT_NE(trace.find("authenticating AP [10.0.0.1] auto"), nullptr);
    EXPECT_FALSE(unauthed.notify_admin("10.9.9.9"));
}

TEST_F(RegistryTest, UnauthedAuthenticateWaiting) {
    const MacAddr waiting = MacAddr::from_str("00:1a:2b:3c:4d:40");
    const MacAddr at_empty_address = MacAddr::from_str("00:1a:2b:3c:4d:41");
    request(unauthed, "10.0.0.1", "/wait/ap", body_for(waiting.str()));
    request(unauthed, "10.0.0.2", "/register/ap", body_for("00:1a:2b:3c:4d:42"));
    unauthed.track("10.0.0.3", "/wait/ap");  // waits, but never declared a MAC
    // An AP at an empty address cannot be authenticated by its MAC.
    request(unauthed, "", "/wait/ap", body_for(at_empty_address.str()));
    sent();
    trace.clear();

    EXPECT_EQ(unauthed.authenticate_waiting(), std::vector<MacAddr>{at_empty_address});
    const Sent out = sent();
    const auto certs = out.of<IPC_MSG__SA_CERT_AUTH_AP>();
    ASSERT_EQ(certs.size(), 1u);
    EXPECT_EQ(*certs[0]->ip, "10.0.0.1");
    EXPECT_EQ(unauthed.find("10.0.0.1")->state, JOIN_BY_ADMIN);
    EXPECT_FALSE(unauthed.notify_admin("10.0.0.1"));
    EXPECT_EQ(unauthed.find("10.0.0.3")->state, WAIT_AUTH);
    EXPECT_EQ(trace.texts(TraceCategory::WARN),
              (std::vector<std::string>{
                  "AP [10.0.0.2] is not waiting authentication: state 'registering'",
                  "AP [10.0.0.3] in ap_data, but not in ap_mac_to_ip"}));
    EXPECT_EQ(out.reasons(),
              (std::vector<std::string>{"SA_FREE: authenticating",
                                        "SA_FREE: AP is not waiting authentication"}));
}

}  // namespace
