// The simulators' own logic: the controller's policy and certificate service,
// the AP's dialogue state machine, plans and latency percentiles.

#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "tests/support/ipc_test_bed.h"
#include "tools/ap-sim/journey.h"
#include "tools/ap-sim/plan.h"
#include "tools/ap-sim/report.h"
#include "tools/controller-sim/controller_sim.h"
#include "tools/controller-sim/event_log.h"
#include "tools/controller-sim/json.h"

namespace {

MacAddr mac(const char* text) {
    return MacAddr::from_str(text);
}

const char* kPolicy = R"({
  "verdict": 1,
  "device-types": {
    "ap-a": {"firmware": "2.1.0", "image": "a.bin", "check-crt": true},
    "ap-b": {"firmware": "3.0"},
    "ap-c": {"verdict": 2}
  },
  "macs": {"02:00:00:00:00:09": {"verdict": 6, "password": "secret"}}
})";

TEST(PolicyTest, CheckAnswers) {
    const auto policy = Policy::parse(kPolicy, nullptr);
    ASSERT_TRUE(policy);
    struct Case {
        const char* mac;
        const char* type;
        const char* version;
        CheckDecision expected;
    };
    const Case cases[] = {
        {"02:00:00:00:00:01", "ap-x", "1.0", {0, 1, kFwUnknownBoard, "", false}},
        {"02:00:00:00:00:01", "ap-a", "1.0.0", {kModeUpgrade, 1, kFwUpgrade, "a.bin", true}},
        // 2.1.0 and 2.1.0.0 are the same version: no upgrade.
        {"02:00:00:00:00:01", "ap-a", "2.1.0.0", {0, 1, kFwCurrent, "", false}},
        {"02:00:00:00:00:01", "ap-b", "2.0", {0, 1, kFwNoImage, "", false}},
        {"02:00:00:00:00:01", "ap-b", "3.0", {0, 1, kFwCurrent, "", false}},
        {"02:00:00:00:00:01", "ap-c", "1", {0, 2, kFwCurrent, "", false}},
        {"02:00:00:00:00:09", "ap-c", "1", {0, 6, kFwCurrent, "", false}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(policy->check(mac(c.mac), c.type, c.version), c.expected)
            << c.mac << " " << c.type << " " << c.version;
    }
    EXPECT_EQ(policy->password(mac("02:00:00:00:00:09")), "secret");
    EXPECT_NE(policy->password(mac("02:00:00:00:00:01")),
              policy->password(mac("02:00:00:00:00:02")));
}

TEST(PolicyTest, DefaultKnowsTheBoardTypes) {
    const Policy policy;
    EXPECT_EQ(policy.check(mac("02:00:00:00:00:01"), "dor-ap110", "1.0").fw_result, kFwCurrent);
    EXPECT_EQ(policy.check(mac("02:00:00:00:00:01"), "acme", "1.0").fw_result, kFwUnknownBoard);
}

TEST(PolicyTest, RefusesBadFiles) {
    const char* bad[] = {
        "[]",
        "{\"verdict\": -1}",
        "{\"verdit\": 1}",
        "{\"device-types\": {\"a\": {\"firmware\": 2}}}",
        "{\"device-types\": {\"a\": {\"image\": \"x\", \"extra\": 1}}}",
        "{\"macs\": {\"not-a-mac\": {}}}",
        "{\"macs\": {\"02:00:00:00:00:01\": {\"store-cert\": 1}}}",
        "{",
    };
    for (const char* text : bad) {
        std::string error;
        EXPECT_FALSE(Policy::parse(text, &error)) << text;
        EXPECT_FALSE(error.empty()) << text;
    }
}

// A throw-away CA made with the OpenSSL library, written as PEM files.
struct TestCa {
    explicit TestCa(const std::string& dir) : cert(dir + "/ca.pem"), key(dir + "/ca.key") {
        PkeyPtr pkey(EVP_EC_gen("P-256"));
        X509Ptr x509(X509_new());
        X509_NAME* name = X509_get_subject_name(x509.get());
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>("Test CA"), -1, -1, 0);
        X509_set_issuer_name(x509.get(), name);
        ASN1_INTEGER_set(X509_get_serialNumber(x509.get()), 1);
        X509_gmtime_adj(X509_getm_notBefore(x509.get()), 0);
        X509_gmtime_adj(X509_getm_notAfter(x509.get()), 3600);
        X509_set_pubkey(x509.get(), pkey.get());
        X509_sign(x509.get(), pkey.get(), EVP_sha256());
        FILE* out = std::fopen(cert.c_str(), "w");
        PEM_write_X509(out, x509.get());
        std::fclose(out);
        out = std::fopen(key.c_str(), "w");
        PEM_write_PrivateKey(out, pkey.get(), nullptr, nullptr, 0, nullptr, nullptr);
        std::fclose(out);
        ca_cert = std::move(x509);
    }
    std::string cert;
    std::string key;
    X509Ptr ca_cert;
};

X509Ptr read_cert(const std::string& pem) {
    BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    X509Ptr cert(PEM_read_bio_X509(bio, nullptr, nullptr, nullptr));
    BIO_free(bio);
    return cert;
}

std::string read_text(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(CertAuthorityTest, IssuesWhatTheServiceChecks) {
    TempDir dir;
    TestCa ca(dir.path());
    const auto authority = CertAuthority::load(ca.cert, ca.key, nullptr);
    ASSERT_TRUE(authority);
    std::set<std::string> serials;
    for (int i = 0; i < 8; ++i) {
        const auto issued = authority->issue(mac("0A:1B:2C:3D:4E:5F"));
        ASSERT_TRUE(issued);
        const X509Ptr cert = read_cert(issued->cert_pem);
        ASSERT_TRUE(cert);
        char subject[128];
        X509_NAME_oneline(X509_get_subject_name(cert.get()), subject, sizeof subject);
        EXPECT_STREQ(subject, "/CN=0a:1b:2c:3d:4e:5f");
        EXPECT_EQ(X509_NAME_cmp(X509_get_issuer_name(cert.get()),
                                X509_get_subject_name(ca.ca_cert.get())),
                  0);
        EXPECT_EQ(X509_verify(cert.get(), X509_get0_pubkey(ca.ca_cert.get())), 1);
        // Six octets, the first not zero: the service reads the serial as 12 hex digits.
        const ASN1_INTEGER* serial = X509_get0_serialNumber(cert.get());
        ASSERT_EQ(serial->length, 6);
        EXPECT_NE(serial->data[0], 0);
        char hex[16];
        for (int b = 0; b < 6; ++b) {
            std::snprintf(hex + 2 * b, 3, "%02X", serial->data[b]);
        }
        EXPECT_EQ(issued->serial, hex);
        serials.insert(issued->serial);
        EXPECT_NE(issued->key_pem.find("PRIVATE KEY"), std::string::npos);
    }
    EXPECT_EQ(serials.size(), 8u);
    EXPECT_FALSE(CertAuthority::load(ca.cert, dir.path() + "/missing.key", nullptr));
}

TEST(ControllerSimTest, CertificateFilesByPolicy) {
    TempDir dir;
    TestCa ca(dir.path());
    const std::string stored = dir.path() + "/stored";
    const std::string delivery = dir.path() + "/delivery";
    std::filesystem::create_directories(stored);
    std::filesystem::create_directories(delivery);
    const auto policy = Policy::parse(R"({"macs": {
        "02:00:00:00:00:02": {"store-cert": false},
        "02:00:00:00:00:03": {"stored-differs": true},
        "02:00:00:00:00:04": {"cert-result": 3}}})",
                                      nullptr);
    ASSERT_TRUE(policy);
    SimOptions opts;
    opts.ap_cert_dir = stored;
    opts.delivery_dir = delivery;
    opts.quiet = true;
    EventLog events(dir.path() + "/events");
    ControllerSim sim(opts, *policy, *CertAuthority::load(ca.cert, ca.key, nullptr), events);

    struct Case {
        const char* mac;
        uint32_t result;
        bool delivered;
        bool stored;
        bool stored_equal;
    };
    const Case cases[] = {
        {"02:00:00:00:00:01", 0, true, true, true},
        {"02:00:00:00:00:02", 0, true, false, false},
        {"02:00:00:00:00:03", 0, true, true, false},
        {"02:00:00:00:00:04", 3, false, false, false},
    };
    for (const Case& c : cases) {
        const size_t before = std::distance(std::filesystem::directory_iterator(stored), {});
        EXPECT_EQ(sim.issue_certificate(mac(c.mac)), c.result) << c.mac;
        const std::string cert = delivered_cert_path(delivery, mac(c.mac));
        EXPECT_EQ(std::filesystem::exists(cert), c.delivered) << c.mac;
        EXPECT_EQ(std::filesystem::exists(delivered_key_path(delivery, mac(c.mac))), c.delivered);
        const size_t after = std::distance(std::filesystem::directory_iterator(stored), {});
        EXPECT_EQ(after - before, c.stored ? 1u : 0u) << c.mac;
        if (!c.delivered) {
            continue;
        }
        // The stored copy is named by the delivered certificate's serial.
        const X509Ptr x509 = read_cert(read_text(cert));
        BIGNUM* bn = ASN1_INTEGER_to_BN(X509_get0_serialNumber(x509.get()), nullptr);
        char* hex = BN_bn2hex(bn);
        BN_free(bn);
        const std::string path = stored_cert_path(stored, hex);
        EXPECT_EQ(std::filesystem::exists(path), c.stored) << c.mac;
        if (c.stored) {
            EXPECT_EQ(read_text(path) == read_text(cert), c.stored_equal) << c.mac;
        }
        OPENSSL_free(hex);
    }
}

TEST(TimerQueueTest, DueOrderThenInsertionOrder) {
    TimerQueue timers;
    const auto t0 = TimerQueue::Clock::now();
    std::string ran;
    timers.add(t0 + std::chrono::milliseconds(20), [&] { ran += "c"; });
    timers.add(t0 + std::chrono::milliseconds(10), [&] { ran += "a"; });
    timers.add(t0 + std::chrono::milliseconds(10), [&] {
        ran += "b";
        timers.add(t0, [&] { ran += "!"; });  // added while running, already due
    });
    EXPECT_EQ(timers.wait_ms(t0, 1000), 10);
    timers.run_due(t0 + std::chrono::milliseconds(15));
    EXPECT_EQ(ran, "ab!");
    EXPECT_EQ(timers.wait_ms(t0 + std::chrono::milliseconds(15), 1000), 5);
    timers.run_due(t0 + std::chrono::milliseconds(20));
    EXPECT_EQ(ran, "ab!c");
    EXPECT_EQ(timers.wait_ms(t0, 1000), 1000);
}

TEST(EventLogTest, LinesAreJson) {
    IPC_MSG__SA_AP_EVENT event;
    event.mac = make_shared_string("02:00:00:00:00:01");
    event.code = 3;
    event.reason = make_shared_string("SA_FREE: say \"hi\"");
    JsonPtr line(json_loads(event_line(event, "t").c_str(), 0, nullptr));
    ASSERT_TRUE(line);
    EXPECT_EQ(json_integer_value(json_object_get(line.get(), "type")), 164);
    EXPECT_EQ(json_integer_value(json_object_get(line.get(), "code")), 3);
    EXPECT_STREQ(json_string_value(json_object_get(line.get(), "reason")), "SA_FREE: say \"hi\"");
    EXPECT_TRUE(json_is_null(json_object_get(line.get(), "ip")));
}

// One scripted answer to the request the journey asks for.
struct Exchange {
    RequestKind expected;
    int status;
    const char* body;
    bool has_cert = false;
    std::optional<std::string> image_version = std::nullopt;
    bool cut_off = false;
};

struct JourneyCase {
    const char* name;
    std::vector<Exchange> script;
    Outcome outcome;
    const char* detail;
    int upgrades;
};

TEST(JourneyTest, FollowsTheAnswers) {
    const char* kAuth = R"({"code":4028,"dor-version":"2.0"})";
    const char* kNoted = R"({"noted":true, "dor-version":"2.0"})";
    const char* kCreds = R"({"system":{"password":"pw"},"code":1,"dor-version":"2.0"})";
    const char* kAllow = R"({"code":4027,"dor-version":"2.0"})";
    const char* kUpgrade = R"({"code":4025,"msg":"img.bin","fw-check-crt":false})";
    const char* kRefused = R"({"code":4026,"error-description":"unknown board type"})";
    using K = RequestKind;
    const JourneyCase cases[] = {
        {"unauthorized then admitted",
         {{K::REGISTER_FREE, 200, kAuth},
          {K::WAIT, 200, kNoted},
          {K::WAIT, 200, kNoted},
          {K::REGISTER_AUTH, 200, kCreds, true},
          {K::READY, 200, kAllow, true}},
         Outcome::ADMITTED,
         "",
         0},
        {"upgrade on the free endpoint, one download cut off",
         {{K::REGISTER_FREE, 200, kUpgrade},
          {K::DOWNLOAD_FREE, 200, "", false, std::nullopt, true},
          {K::DOWNLOAD_FREE, 200, "", false, "2.0.0.0"},
          {K::REGISTER_FREE, 200, kRefused}},
         Outcome::REFUSED,
         "unknown board type",
         1},
        {"upgrade on the authorized endpoint",
         {{K::REGISTER_AUTH, 200, kUpgrade, true},
          {K::DOWNLOAD_AUTH, 200, "", true, "2.0.0.0"},
          {K::REGISTER_AUTH, 200, kCreds, true},
          {K::READY, 200, kAllow, true}},
         Outcome::ADMITTED,
         "",
         1},
        {"error answer",
         {{K::REGISTER_FREE, 400, R"({"error-description":"x"})"}},
         Outcome::ERROR,
         "400 x",
         0},
        {"client certificate refused",
         {{K::REGISTER_AUTH, 0, "", true}},
         Outcome::TLS_REFUSED,
         "refused",
         0},
        {"image never whole",
         {{K::REGISTER_FREE, 200, kUpgrade},
          {K::DOWNLOAD_FREE, 404, ""},
          {K::DOWNLOAD_FREE, 200, ""},
          {K::DOWNLOAD_FREE, 200, ""},
          {K::DOWNLOAD_FREE, 200, ""},
          {K::DOWNLOAD_FREE, 200, ""}},
         Outcome::DOWNLOAD_FAILED,
         "",
         0},
        {"allow out of turn", {{K::REGISTER_FREE, 200, kAllow}}, Outcome::ERROR, "", 0},
    };
    for (const JourneyCase& c : cases) {
        SCOPED_TRACE(c.name);
        ApPlan plan;
        plan.mac = mac("02:00:00:00:00:01");
        plan.sw_version = "1.0";
        Journey journey(plan, JourneyConfig{});
        for (const Exchange& step : c.script) {
            ASSERT_FALSE(journey.finished());
            const StepRequest request = journey.next(step.has_cert);
            EXPECT_EQ(request.kind, step.expected);
            StepResult result;
            result.status = step.status;
            result.body = step.body;
            result.failure = step.status == 0 ? "refused" : "";
            result.tls_failure = step.status == 0;
            result.image_version = step.image_version;
            result.cut_off = step.cut_off;
            journey.on_result(result);
        }
        EXPECT_EQ(journey.outcome(), c.outcome);
        if (*c.detail != '\0') {
            EXPECT_EQ(journey.detail(), c.detail);
        }
        EXPECT_EQ(journey.upgrades(), c.upgrades);
    }
}

TEST(JourneyTest, RetriesRestartFromTheTop) {
    ApPlan plan;
    plan.mac = mac("02:00:00:00:00:01");
    Journey journey(plan, JourneyConfig{200, 500, 1, LoadKind::NONE});
    journey.next(false);
    StepResult error;
    error.status = 400;
    error.body = R"({"error-description":"ap not tracked"})";
    EXPECT_EQ(journey.on_result(error), 500);
    EXPECT_FALSE(journey.finished());
    EXPECT_EQ(journey.next(true).kind, RequestKind::REGISTER_AUTH);
    journey.on_result(error);
    EXPECT_EQ(journey.outcome(), Outcome::ERROR);
    EXPECT_EQ(journey.retries_used(), 1);
}

TEST(PlanTest, HandsOutMacsAndAddresses) {
    const auto groups = parse_mix("t1:1.0:2,t2:2.0", nullptr);
    ASSERT_TRUE(groups);
    PlanDefaults defaults;
    defaults.mac_base = mac("02:00:00:00:00:ff");
    defaults.addr_base = "127.0.1.255";
    const auto aps = expand_plan(*groups, defaults, nullptr);
    ASSERT_TRUE(aps);
    ASSERT_EQ(aps->size(), 3u);
    const char* macs[] = {"02:00:00:00:00:ff", "02:00:00:00:01:00", "02:00:00:00:01:01"};
    const char* addresses[] = {"127.0.1.255", "127.0.2.0", "127.0.2.1"};
    const char* types[] = {"t1", "t1", "t2"};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ((*aps)[i].mac.str(), macs[i]);
        EXPECT_EQ((*aps)[i].address, addresses[i]);
        EXPECT_EQ((*aps)[i].device_type, types[i]);
    }
    for (const char* bad : {"", "t1", "t1:1.0:0", "t1:1.0:x", ":1.0", "a:b:c:d"}) {
        EXPECT_FALSE(parse_mix(bad, nullptr)) << bad;
    }
    EXPECT_FALSE(loopback_plus("127.255.255.250", 5));
    EXPECT_FALSE(loopback_plus("10.0.0.1", 0));
}

TEST(PlanTest, PlanFileGroups) {
    const auto groups = parse_plan(
        R"({"aps": [{"count": 2, "mac": "02:00:00:00:10:00", "device-type": "x"}, {}]})", nullptr);
    ASSERT_TRUE(groups);
    PlanDefaults defaults;
    defaults.mac_base = mac("02:00:00:00:00:01");
    const auto aps = expand_plan(*groups, defaults, nullptr);
    ASSERT_TRUE(aps);
    ASSERT_EQ(aps->size(), 3u);
    EXPECT_EQ((*aps)[1].mac.str(), "02:00:00:00:10:01");
    EXPECT_EQ((*aps)[2].mac.str(), "02:00:00:00:00:01");
    EXPECT_EQ((*aps)[2].device_type, defaults.device_type);
    for (const char* bad : {"{}", R"({"aps": []})", R"([{"count": 0}])", R"([{"mac": "zz"}])",
                            R"([{"colour": "red"}])"}) {
        EXPECT_FALSE(parse_plan(bad, nullptr)) << bad;
    }
}

TEST(ReportTest, NearestRankPercentiles) {
    std::vector<double> hundred;
    for (int i = 100; i >= 1; --i) {
        hundred.push_back(i);
    }
    const LatencySummary s = summarize(hundred);
    EXPECT_EQ(s.count, 100u);
    EXPECT_EQ(s.p50, 50);
    EXPECT_EQ(s.p90, 90);
    EXPECT_EQ(s.p99, 99);
    EXPECT_EQ(percentile({7}, 99), 7);
    EXPECT_EQ(percentile({}, 50), 0);
    EXPECT_EQ(percentile({1, 2, 3}, 50), 2);
}

}  // namespace
