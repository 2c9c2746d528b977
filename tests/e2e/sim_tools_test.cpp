// Simulator logic the end-to-end runs cannot reach.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <numeric>
#include <set>
#include <thread>

#include "tests/support/ipc_test_bed.h"
#include "tools/ap-sim/http_pool.h"
#include "tools/ap-sim/journey.h"
#include "tools/ap-sim/plan.h"
#include "tools/ap-sim/report.h"
#include "tools/controller-sim/controller_sim.h"

namespace {

MacAddr mac(const char* text) {
    return MacAddr::from_str(text);
}

TEST(PolicyTest, CheckAnswers) {
    const auto policy = Policy::parse(R"({"verdict": 1, "device-types": {
        "ap-a": {"firmware": "2.1.0", "image": "a.bin", "check-crt": true}, "ap-c": {"verdict": 2}},
        "macs": {"02:00:00:00:00:09": {"verdict": 6}}})",
                                      nullptr);
    ASSERT_TRUE(policy);
    const std::tuple<const char*, const char*, const char*, CheckDecision> cases[] = {
        {"02:00:00:00:00:01", "ap-a", "1.0.0", {kModeUpgrade, 1, kFwUpgrade, "a.bin", true}},
        {"02:00:00:00:00:01", "ap-c", "1", {0, 2, kFwCurrent, "", false}},
        {"02:00:00:00:00:09", "ap-c", "1", {0, 6, kFwCurrent, "", false}},
    };
    for (const auto& [ap, type, version, expected] : cases)
        EXPECT_EQ(policy->check(mac(ap), type, version), expected) << ap << " " << type;
    // Without a password in the policy every AP still gets its own.
    EXPECT_NE(policy->password(mac("02:00:00:00:00:01")),
              policy->password(mac("02:00:00:00:00:02")));
    for (const char* bad : {"[]", "{", R"({"verdict": -1})", R"({"verdit": 1})",
                            R"({"device-types": {"a": {"firmware": 2}}})",
                            R"({"device-types": {"a": {"image": "x", "extra": 1}}})",
                            R"({"macs": {"not-a-mac": {}}})",
                            R"({"macs": {"02:00:00:00:00:01": {"store-cert": 1}}})"}) {
        std::string error;
        EXPECT_FALSE(Policy::parse(bad, &error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

TEST(ControllerSimTest, IssuesFreshCertificatesUnlessRefused) {
    TempDir dir;
    const std::string pki = dir.path() + "/pki/";
    ASSERT_EQ(std::system((std::string(DOR_MAKE_PKI) + " " + pki).c_str()), 0);
    EXPECT_FALSE(CertAuthority::load(pki + "ca.pem", pki + "missing.key", nullptr));
    auto ca = CertAuthority::load(pki + "ca.pem", pki + "ca.key", nullptr);
    ASSERT_TRUE(ca);
    SimOptions opts;
    opts.ap_cert_dir = opts.delivery_dir = dir.path();
    opts.quiet = true;
    EventLog events(dir.path() + "/events");
    ControllerSim sim(
        opts, *Policy::parse(R"({"macs": {"02:00:00:00:00:04": {"cert-result": 3}}})", nullptr),
        std::move(*ca), events);

    EXPECT_EQ(sim.issue_certificate(mac("02:00:00:00:00:04")), 3u);
    EXPECT_FALSE(std::filesystem::exists(dir.path() + "/020000000004.pem"));
    std::set<std::string> serials;
    for (int i = 0; i < 8; ++i) {
        ASSERT_EQ(sim.issue_certificate(mac("0A:1B:2C:3D:4E:5F")), 0u);
        BIO* bio = BIO_new_file((dir.path() + "/0a1b2c3d4e5f.pem").c_str(), "r");
        const X509Ptr cert(PEM_read_bio_X509(bio, nullptr, nullptr, nullptr));
        BIO_free(bio);
        ASSERT_TRUE(cert);
        // Six octets, the first not zero: the service reads the serial as 12 hex digits.
        const ASN1_INTEGER* serial = X509_get0_serialNumber(cert.get());
        ASSERT_EQ(serial->length, 6);
        EXPECT_NE(serial->data[0], 0);
        serials.emplace(reinterpret_cast<const char*>(serial->data), 6);
    }
    EXPECT_EQ(serials.size(), 8u);
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

TEST(JourneyTest, ErrorPaths) {
    struct Exchange {
        RequestKind expected;
        int status;
        const char* body;
        bool has_cert = false;
    };
    const auto reg = RequestKind::REGISTER_FREE, wait = RequestKind::WAIT,
               auth = RequestKind::REGISTER_AUTH;
    const auto err = Outcome::ERROR;
    const char* error = R"({"error-description":"x"})";
    std::vector<Exchange> never_whole(6, {RequestKind::DOWNLOAD_FREE, 200, ""});
    never_whole[0] = {reg, 200, R"({"code":4025,"msg":"img.bin"})"};
    never_whole[1].status = 404;
    // Name, retries allowed, the exchanges, outcome, detail ("" for not checked).
    const std::tuple<const char*, int, std::vector<Exchange>, Outcome, std::string> cases[] = {
        {"error answer", 0, {{reg, 400, error}}, err, "400 x"},
        {"allow out of turn", 0, {{reg, 200, R"({"code":4027})"}}, err, ""},
        {"wait not noted", 0, {{reg, 200, R"({"code":4028})"}, {wait, 200, "{}"}}, err, ""},
        {"retry when certified", 1, {{reg, 400, error}, {auth, 400, error, true}}, err, "400 x"},
        {"image never whole in five tries", 0, never_whole, Outcome::DOWNLOAD_FAILED, ""},
    };
    for (const auto& [name, retries, script, outcome, detail] : cases) {
        SCOPED_TRACE(name);
        ApPlan plan;
        plan.mac = mac("02:00:00:00:00:01");
        Journey journey(plan, JourneyConfig{200, 500, retries, LoadKind::NONE});
        for (const Exchange& step : script) {
            ASSERT_FALSE(journey.finished());
            EXPECT_EQ(journey.next(step.has_cert).kind, step.expected);
            StepResult result;
            result.status = step.status;
            result.body = step.body;
            journey.on_result(result);
        }
        EXPECT_EQ(journey.outcome(), outcome);
        if (!detail.empty()) {
            EXPECT_EQ(journey.detail(), detail);
        }
        EXPECT_EQ(journey.retries_used(), retries);
    }
}

TEST(BackoffTest, CapDoublesToTheCeilingAndPausesSpreadOverIt) {
    EXPECT_EQ(backoff_cap_ms(1), kBackoffFloorMs);
    for (int failures = 2; failures <= 40; ++failures)
        EXPECT_EQ(backoff_cap_ms(failures),
                  std::min(2 * backoff_cap_ms(failures - 1), kBackoffCeilingMs))
            << failures;
    EXPECT_EQ(backoff_cap_ms(40), kBackoffCeilingMs);
    std::mt19937 random(7);
    constexpr int kDraws = 4000;
    for (int failures : {1, 4, 20}) {
        const int cap = backoff_cap_ms(failures);
        std::vector<int> pauses(kDraws);
        for (int& pause : pauses)
            pause = backoff_pause_ms(failures, random);
        const auto [low, high] = std::minmax_element(pauses.begin(), pauses.end());
        // Uniform over [0, cap]: both ends reached, the mean in the middle.
        EXPECT_GE(*low, 0);
        EXPECT_LT(*low, cap / 20) << failures;
        EXPECT_LE(*high, cap);
        EXPECT_GT(*high, cap - cap / 20) << failures;
        EXPECT_NEAR(std::accumulate(pauses.begin(), pauses.end(), 0.0) / kDraws, cap / 2.0,
                    cap * 0.05)
            << failures;
    }
}

// How a request ended, as the pool reports it.
enum class Wire { ANSWER, CLOSED_BEFORE_TLS, CLOSED_AFTER_REQUEST, ALERT, TIMED_OUT };

TEST(JourneyTest, BackoffResumesTheStepThatFailed) {
    struct Exchange {
        RequestKind expected;
        Wire wire;
        const char* body = "";
        bool has_cert = true;
    };
    const auto reg = RequestKind::REGISTER_FREE, wait = RequestKind::WAIT,
               auth = RequestKind::REGISTER_AUTH, ready = RequestKind::READY;
    const auto answer = Wire::ANSWER;
    const char* credentials = R"({"code":1,"system":{"password":"p"}})";
    const char* allow = R"({"code":4027})";
    const char* not_tracked = R"({"error-description": "AP not tracked"})";
    // Name, the exchanges, outcome, then limit refusals, certificate refusals, restarts.
    const std::tuple<const char*, std::vector<Exchange>, Outcome, std::array<int, 3>> cases[] = {
        {"ready refused at the connection limit",
         {{auth, answer, credentials},
          {ready, Wire::CLOSED_BEFORE_TLS},
          {ready, Wire::CLOSED_BEFORE_TLS},
          {ready, answer, allow}},
         Outcome::ADMITTED,
         {2, 0, 0}},
        {"register refused at the request limit, then a lost poll",
         {{reg, Wire::CLOSED_AFTER_REQUEST, "", false},
          {reg, answer, R"({"code":4028})", false},
          {wait, Wire::TIMED_OUT, "", false},
          {wait, answer, R"({"noted":true})", false},
          {auth, answer, credentials},
          {ready, answer, allow}},
         Outcome::ADMITTED,
         {1, 0, 0}},
        {"certificate refused, still failing at the deadline",
         {{auth, Wire::ALERT}, {auth, Wire::CLOSED_AFTER_REQUEST}, {auth, Wire::ALERT}},
         Outcome::TLS_REFUSED,
         {0, 3, 0}},
        {"the service forgot it: from the start",
         {{auth, answer, credentials}, {ready, answer, not_tracked}, {auth, answer, credentials}},
         Outcome::TIMED_OUT,
         {0, 0, 1}},
    };
    for (const auto& [name, script, outcome, counts] : cases) {
        SCOPED_TRACE(name);
        ApPlan plan;
        plan.mac = mac("02:00:00:00:00:01");
        JourneyConfig config;
        config.backoff = true;
        Journey journey(plan, config);
        int failures_in_row = 0;
        for (const Exchange& step : script) {
            ASSERT_FALSE(journey.finished());
            EXPECT_EQ(journey.next(step.has_cert).kind, step.expected);
            StepResult result;
            const bool error = std::string_view(step.body) == not_tracked;
            if (step.wire == Wire::ANSWER) {
                result.status = error ? 400 : 200;
                result.body = step.body;
            } else {
                result.failure = "no answer";
                result.tls_failure = step.wire != Wire::TIMED_OUT;
                result.server_handshake =
                    step.wire == Wire::CLOSED_AFTER_REQUEST || step.wire == Wire::ALERT;
                result.tls_alert = step.wire == Wire::ALERT;
            }
            const int pause = journey.on_result(result);
            const bool failed = step.wire != Wire::ANSWER || error;
            failures_in_row = failed ? failures_in_row + 1 : 0;
            EXPECT_LE(pause, failed ? backoff_cap_ms(failures_in_row) : config.poll_ms);
        }
        journey.stop(Outcome::TIMED_OUT);
        EXPECT_EQ(journey.outcome(), outcome);
        EXPECT_EQ((std::array{journey.limit_refusals(), journey.certificate_refusals(),
                              journey.restarts()}),
                  counts);
    }
}

// Serves one connection on loopback the way a refusing service does.
enum class Refusing { CLOSE_AT_ACCEPT, REFUSE_CERTIFICATE, DROP_REQUEST };

void serve_once(int listener, SSL_CTX* ctx, Refusing mode) {
    const int fd = accept(listener, nullptr, nullptr);
    if (fd >= 0 && mode != Refusing::CLOSE_AT_ACCEPT) {
        SSL* ssl = SSL_new(ctx);
        SSL_set_fd(ssl, fd);
        if (SSL_accept(ssl) == 1) {
            char request[512];
            SSL_read(ssl, request, sizeof request);
            SSL_shutdown(ssl);  // a close_notify is no refusal of the certificate
        }
        SSL_free(ssl);
        // Read what the client still sends, so that no reset overtakes the alert.
        shutdown(fd, SHUT_WR);
        timeval wait{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        char drain[512];
        while (read(fd, drain, sizeof drain) > 0) {
        }
    }
    if (fd >= 0)
        close(fd);
}

TEST(HttpPoolTest, TellsALimitFromARefusedCertificateOnTheWire) {
    TempDir dir;
    const std::string pki = dir.path() + "/pki/";
    ASSERT_EQ(std::system((std::string(DOR_MAKE_PKI) + " " + pki + " >/dev/null").c_str()), 0);
    const std::tuple<Refusing, bool, Failure> cases[] = {
        {Refusing::CLOSE_AT_ACCEPT, true, Failure::LIMIT},
        {Refusing::CLOSE_AT_ACCEPT, false, Failure::LIMIT},
        {Refusing::DROP_REQUEST, false, Failure::LIMIT},
        {Refusing::REFUSE_CERTIFICATE, true, Failure::CERTIFICATE},
        // The alert of a refused certificate may be lost to a reset.
        {Refusing::DROP_REQUEST, true, Failure::CERTIFICATE},
    };
    for (const auto& [mode, authorized, expected] : cases) {
        SCOPED_TRACE(static_cast<int>(mode) * 2 + authorized);
        SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
        SSL_CTX_use_certificate_file(ctx, (pki + "server.pem").c_str(), SSL_FILETYPE_PEM);
        SSL_CTX_use_PrivateKey_file(ctx, (pki + "server.key").c_str(), SSL_FILETYPE_PEM);
        if (mode == Refusing::REFUSE_CERTIFICATE)
            SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
        const int listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t size = sizeof addr;
        ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), size), 0);
        listen(listener, 1);
        getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &size);
        std::thread server(serve_once, listener, ctx, mode);

        HttpPool pool;
        HttpRequest request;
        request.url = "https://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/ott/ready/ap";
        request.source = "127.0.0.1";
        request.body = "{}";
        request.timeout_ms = 5000;
        std::vector<std::pair<uint64_t, HttpResult>> done;
        if (pool.start(1, request)) {
            const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (done.empty() && std::chrono::steady_clock::now() < end)
                done = pool.run(100);
        }
        shutdown(listener, SHUT_RDWR);
        server.join();
        close(listener);
        SSL_CTX_free(ctx);
        ASSERT_EQ(done.size(), 1u);
        const HttpResult& http = done[0].second;
        EXPECT_EQ(http.status, 0);
        StepResult result;
        result.tls_failure = http.tls_failure;
        result.server_handshake = http.server_handshake;
        result.tls_alert = http.tls_alert;
        EXPECT_EQ(classify_failure(result, authorized), expected) << http.error;
    }
}

TEST(PlanTest, HandsOutMacsAndAddresses) {
    PlanDefaults defaults;
    defaults.mac_base = mac("02:00:00:00:00:ff");
    defaults.addr_base = "127.0.1.255";
    const auto mix = parse_mix("t1:1.0:2,t2:2.0", nullptr);
    const auto file = parse_plan(
        R"({"aps": [{"count": 2, "mac": "02:00:00:00:10:00", "device-type": "x"}, {}]})", nullptr);
    // Each AP's MAC, address and device type.
    const std::pair<std::optional<std::vector<PlanGroup>>, std::vector<std::string>> cases[] = {
        {mix,
         {"02:00:00:00:00:ff 127.0.1.255 t1", "02:00:00:00:01:00 127.0.2.0 t1",
          "02:00:00:00:01:01 127.0.2.1 t2"}},
        {file,
         {"02:00:00:00:10:00 127.0.1.255 x", "02:00:00:00:10:01 127.0.2.0 x",
          "02:00:00:00:00:ff 127.0.2.1 dor-ap110"}},
    };
    for (const auto& [groups, expected] : cases) {
        ASSERT_TRUE(groups);
        const auto aps = expand_plan(*groups, defaults, nullptr);
        ASSERT_TRUE(aps);
        std::vector<std::string> got;
        for (const ApPlan& ap : *aps)
            got.push_back(ap.mac.str() + " " + ap.address + " " + ap.device_type);
        EXPECT_EQ(got, expected);
    }
    for (const char* bad : {"", "t1", "t1:1.0:0", "t1:1.0:x", ":1.0", "a:b:c:d"})
        EXPECT_FALSE(parse_mix(bad, nullptr)) << bad;
    for (const char* bad : {"{}", R"({"aps": []})", R"([{"count": 0}])", R"([{"mac": "zz"}])",
                            R"([{"colour": 1}])"}) {
        EXPECT_FALSE(parse_plan(bad, nullptr)) << bad;
    }
    EXPECT_FALSE(loopback_plus("127.255.255.250", 5));
    EXPECT_FALSE(loopback_plus("10.0.0.1", 0));
}

TEST(ReportTest, NearestRankPercentiles) {
    std::vector<double> hundred;  // unsorted on purpose
    for (int i = 100; i >= 1; --i)
        hundred.push_back(i);
    const std::tuple<std::vector<double>, double, double> cases[] = {
        {hundred, 50, 50}, {hundred, 99, 99}, {{7}, 99, 7}, {{}, 50, 0}, {{1, 2, 3}, 50, 2}};
    for (const auto& [values, p, expected] : cases)
        EXPECT_EQ(percentile(values, p), expected) << values.size() << " values, p" << p;
}

}  // namespace
