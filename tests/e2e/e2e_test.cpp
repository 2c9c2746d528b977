
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <csignal>
#include <fstream>

#include "libs/board/board_types.h"
#include "libs/ipc/messages.h"
#include "tests/e2e/e2e_bed.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// The AP list as the controller sees it.
std::vector<SaApsInfo::ApInfo> ap_list(IpcClient& admin) {
    admin.send(IPC_MSG__SA_GET_APS{});
    const auto answer = admin.receive_as<IPC_MSG__SA_GET_APS_RESP>(2000);
    return answer ? answer->aps : std::vector<SaApsInfo::ApInfo>{};
}

// The serial of the certificate delivered to `mac`, read as the service reads it: a MAC text.
std::string serial_mac(const E2eBed& bed, std::string mac) {
    std::erase(mac, ':');
    BIO* in = BIO_new_file((bed.delivery_dir() + "/" + mac + ".pem").c_str(), "r");
    X509* cert = in != nullptr ? PEM_read_bio_X509(in, nullptr, nullptr, nullptr) : nullptr;
    BIGNUM* bn =
        cert != nullptr ? ASN1_INTEGER_to_BN(X509_get0_serialNumber(cert), nullptr) : nullptr;
    char* hex = bn != nullptr ? BN_bn2hex(bn) : nullptr;
    const std::string serial = hex != nullptr ? MacAddr::from_str(hex).str() : "";
    OPENSSL_free(hex);
    BN_free(bn);
    X509_free(cert);
    BIO_free(in);
    return serial;
}

TEST(EndToEnd, AdministratorAuthenticatesAWaitingAp) {
    const std::string mac = "02:d0:00:00:00:01";
    E2eBed bed({false, R"({"macs": {")" + mac + R"(": {"password": "s3cret"}}})", 0, {}});
    ASSERT_TRUE(bed.ready);
    IpcClient admin = bed.admin({IPC_MSG__SA_GET_APS_RESP::kType, IPC_MSG__AUTH_AP_RESP::kType});
    const ApRun run = bed.run_aps({"--count", "1", "--mac-base", mac}, [&] {
        ASSERT_TRUE(eventually([&] {
            const auto list = ap_list(admin);
            return list.size() == 1 &&
                   list[0].state == static_cast<uint32_t>(SaApState::WAITING_AUTH);
        })) << bed.service->stderr_text();
        IPC_MSG__AUTH_AP auth;
        auth.target = make_shared_string(mac);
        admin.send(auth);
    });
    EXPECT_EQ(run.status, 0) << run.stderr_text;
    EXPECT_EQ(text(run.ap(mac), "outcome"), "admitted");
    EXPECT_EQ(text(run.ap(mac), "password"), "s3cret");
    // Exactly one reply, once the certificate exists.
    const auto reply = admin.receive_as<IPC_MSG__AUTH_AP_RESP>(1500);
    EXPECT_TRUE(reply);
    EXPECT_FALSE(admin.receive_as<IPC_MSG__AUTH_AP_RESP>(300));
    // Admitted and ready: the service forgets it.
    EXPECT_TRUE(ap_list(admin).empty());
}

TEST(EndToEnd, UpgradeOnEachEndpoint) {
    const char* policy =
        R"({"device-types": {"dor-ap110": {"firmware": "2.1.0", "image": "ap110.bin"}}})";
    // authorized: a first journey left the AP holding its certificate.
    const std::tuple<bool, std::string, const char*> cases[] = {
        {false, "SA_FREE: ", "firmware download for unauthorized AP: failed"},
        {true, "SA_AUTH: ", "firmware download for authorized AP: failed"},
    };
    const std::string mac = "02:d0:00:00:00:01";
    for (const auto& [authorized, prefix, failed_log] : cases) {
        SCOPED_TRACE(prefix);
        // The image is big enough that a cut-off transfer cannot finish.
        E2eBed bed({true, policy, 0, {{"ap110.bin", "dor-ap110", "2.1.0", 8u << 20}}});
        ASSERT_TRUE(bed.ready);
        if (authorized) {
            const ApRun first = bed.run_aps({"--mac-base", mac, "--sw-version", "2.1.0"});
            ASSERT_EQ(text(first.ap(mac), "outcome"), "admitted");
        }
        // The AP retries soon after cutting its download: the service must have noticed the
        // broken connection by then, while the AP is still upgrading.
        const ApRun run = bed.run_aps({"--mac-base", mac, "--sw-version", "1.0.0",
                                       "--abort-downloads", "1", "--retry-ms", "300"});
        EXPECT_EQ(run.status, 0) << run.stderr_text;
        EXPECT_EQ(text(run.ap(mac), "outcome"), "admitted") << text(run.ap(mac), "detail");
        EXPECT_EQ(json_integer_value(json_object_get(run.ap(mac), "upgrades")), 1);
        EXPECT_EQ(text(run.ap(mac), "sw-version"), FwVersionInfo::from_str("2.1.0")->to_str());
        // Two downloads started: the cut-off one's try stays used, and its failure is logged.
        std::vector<std::string> started;
        for (const JsonPtr& event : bed.events()) {
            const std::string reason = text(event.get(), "reason");
            if (reason.starts_with(prefix + "started fw file download"))
                started.push_back(reason);
        }
        ASSERT_EQ(started.size(), 2u);
        EXPECT_NE(started[0].find("tries left: 4)"), std::string::npos) << started[0];
        EXPECT_NE(started[1].find("tries left: 3)"), std::string::npos) << started[1];
        EXPECT_TRUE(bed.service->wait_for_stderr(failed_log, seconds(5)));
    }
}

TEST(EndToEnd, Refusals) {
    const std::string policy = R"({
      "device-types": {"dor-ap110": {}, "dor-ap210": {"firmware": "9.9"}},
      "macs": {"02:d0:00:00:03:08": {"verdict": 8}, "02:d0:00:00:04:01": {"store-cert": false},
        "02:d0:00:00:04:02": {"stored-differs": true}}})";
    // MAC, device type, outcome, and part of the reason of an event it leaves ("": none
    // checked); the replies' texts are checked where they are made.
    const std::tuple<std::string, std::string, std::string, std::string> cases[] = {
        {"02:d0:00:00:01:01", "acme-x1", "refused", "SA_FREE: AP has unknown board type"},
        {"02:d0:00:00:02:01", "dor-ap210", "refused", "no firmware image for upgrade"},
        {"02:d0:00:00:03:08", "dor-ap110", "refused", ""},
        {"02:d0:00:00:04:01", "dor-ap110", "tls-refused", "] does not exist"},
        {"02:d0:00:00:04:02", "dor-ap110", "tls-refused", "certificate differs from stored ["},
    };
    std::string plan;
    for (const auto& [mac, type, outcome, part] : cases) {
        plan += std::string(plan.empty() ? "[" : ",") + R"({"mac": ")" + mac +
                R"(", "device-type": ")" + type + R"("})";
    }
    E2eBed bed({true, policy, 0, {}});
    ASSERT_TRUE(bed.ready);
    std::ofstream(bed.dir() + "/plan.json") << plan << "]";
    const ApRun run = bed.run_aps({"--plan", bed.dir() + "/plan.json"});
    EXPECT_EQ(run.status, 0) << run.stderr_text;
    const auto events = bed.events();
    for (const auto& [mac, type, outcome, part] : cases) {
        SCOPED_TRACE(mac);
        EXPECT_EQ(text(run.ap(mac), "outcome"), outcome) << text(run.ap(mac), "detail");
        if (part.empty())
            continue;
        const auto found =
            std::find_if(events.begin(), events.end(), [&part = part](const JsonPtr& event) {
                return text(event.get(), "reason").find(part) != std::string::npos;
            });
        ASSERT_NE(found, events.end()) << part;
        // Certificate refusals name the serial's MAC, the others the AP's.
        EXPECT_EQ(text(found->get(), "mac"), outcome == "tls-refused" ? serial_mac(bed, mac) : mac);
    }
}

TEST(EndToEnd, ServiceKeepsServingThroughAControllerReset) {
    E2eBed bed({true, "{}", 800, {}});
    ASSERT_TRUE(bed.ready);
    IpcClient admin = bed.admin({IPC_MSG__SA_GET_APS_RESP::kType});
    const ApRun run = bed.run_aps(
        {"--count", "6", "--retries", "5", "--retry-ms", "300", "--timeout", "40"}, [&] {
            // Every AP is mid-journey: registered, its check unanswered.
            ASSERT_TRUE(eventually([&] { return ap_list(admin).size() == 6; }));
            admin.send(IPC_MSG__SA_RESET{});
            EXPECT_TRUE(eventually([&] { return ap_list(admin).size() < 6; }, seconds(2)));
            // The controller gives the service its TLS files again, as after any reset.
            bed.controller->signal(SIGHUP);
        });
    EXPECT_EQ(run.status, 0) << run.stderr_text;
    int admitted = 0;
    long long retries = 0;
    json_t* rows = json_object_get(run.report.get(), "aps");
    for (size_t i = 0; i < json_array_size(rows); ++i) {
        admitted += text(json_array_get(rows, i), "outcome") == "admitted";
        retries += json_integer_value(json_object_get(json_array_get(rows, i), "retries"));
    }
    EXPECT_EQ(admitted, 6);
    EXPECT_GT(retries, 0) << "the reset interrupted no journey";
    EXPECT_FALSE(bed.service->wait_exit(milliseconds(0)));
}

// A reboot storm against limits lowered to 10: the APs beyond them wait their
// turn instead of being refused, and none starts its journey over.
TEST(EndToEnd, ApsBeyondTheLimitsWaitTheirTurn) {
    BedConfig config{true, "{}", 0, {}};
    config.edge_limits = "10,10";
    E2eBed bed(config);
    ASSERT_TRUE(bed.ready);
    const int aps = 300;
    const std::string count = std::to_string(aps);
    const ApRun run = bed.run_aps({"--count", count, "--at-once", count, "--concurrency", count,
                                   "--backoff", "--timeout", "45"});
    EXPECT_EQ(run.status, 0) << run.stderr_text;
    EXPECT_TRUE(bed.service->wait_for_stderr("TEST ONLY: edge limits lowered to 10", seconds(1)));
    json_t* summary = json_object_get(run.report.get(), "summary");
    const auto number = [&](const char* key) {
        return json_integer_value(json_object_get(summary, key));
    };
    EXPECT_EQ(json_integer_value(json_object_get(json_object_get(summary, "outcomes"), "admitted")),
              aps);
    EXPECT_EQ(number("limit-refusals"), 0);
    EXPECT_EQ(number("certificate-refusals"), 0);
    EXPECT_EQ(number("restarts"), 0);
    // Register, a poll or a few while the certificate is made (4.6 per AP here
    // on average, 8 when the limits refuse), register on the authorized
    // endpoint, ready.
    json_t* rows = json_object_get(run.report.get(), "aps");
    long long requests = 0;
    for (size_t i = 0; i < json_array_size(rows); ++i) {
        const json_int_t own =
            json_integer_value(json_object_get(json_array_get(rows, i), "requests"));
        EXPECT_GE(own, 4) << text(json_array_get(rows, i), "mac");
        requests += own;
    }
    EXPECT_LE(requests, aps * 6) << "requests per AP: " << static_cast<double>(requests) / aps;
}

TEST(EndToEnd, EventStreamOfOneAutoAuthenticatedJourney) {
    E2eBed bed({true, "{}", 0, {}});
    ASSERT_TRUE(bed.ready);
    IpcClient admin = bed.admin({IPC_MSG__AUTH_AP_RESP::kType});
    const std::string mac = "02:d0:00:00:00:2a";
    const std::string address = "127.0.3.7";
    const ApRun run = bed.run_aps({"--mac-base", mac, "--addr-base", address});
    ASSERT_EQ(text(run.ap(mac), "outcome"), "admitted");
    // No administrator asked, so none is answered.
    EXPECT_FALSE(admin.receive_as<IPC_MSG__AUTH_AP_RESP>(500));
    const std::string cert_mac = serial_mac(bed, mac);

    // Reason, code (WAIT_AUTH 1, JOIN_AUTO 3, REQ_READY 4), and whether the event names the
    // certificate's serial rather than the AP; the texts themselves are checked where made.
    const std::tuple<std::string, uint32_t, bool> expected[] = {
        {"SA_FREE: start tracking AP with path [/wait/ap]", 1, false},
        {"SA_FREE: auto authenticate enabled", 3, false},
        {"SA_AUTH: certificate ok", 0, true},
        {"SA_AUTH: don't remove registered but not ready AP track", 0, false},
        {"SA_AUTH: start tracking AP with path [/ready/ap]", 4, false},
    };
    const auto events = bed.events();
    size_t at = 0;
    for (const auto& [reason, code, names_serial] : expected) {
        SCOPED_TRACE(reason);
        while (at < events.size() && text(events[at].get(), "reason") != reason)
            ++at;
        ASSERT_LT(at, events.size()) << "missing, or out of order";
        json_t* event = events[at++].get();
        EXPECT_EQ(json_integer_value(json_object_get(event, "code")), code);
        EXPECT_EQ(text(event, "mac"), names_serial ? cert_mac : mac);
        const std::string ip = text(event, "ip");
        EXPECT_TRUE(ip.empty() || ip == address) << ip;
    }
}

}  // namespace
