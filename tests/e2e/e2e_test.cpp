// Whole AP journeys: the real service under its supervisor, the simulated
// controller and simulated APs, real TLS and real IPC, loopback only.

#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <thread>

#include "libs/board/board_types.h"
#include "libs/ipc/messages.h"
#include "tests/e2e/e2e_bed.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr uint64_t kImageSize = 8u << 20;  // big enough that a cut-off transfer cannot finish

std::string reason(const JsonPtr& event) {
    const char* text = json_string_value(json_object_get(event.get(), "reason"));
    return text != nullptr ? text : "";
}

std::string text_member(json_t* object, const char* key) {
    const char* text = json_string_value(json_object_get(object, key));
    return text != nullptr ? text : "";
}

// The AP list as the controller sees it.
std::vector<SaApsInfo::ApInfo> ap_list(IpcClient& admin) {
    admin.send(IPC_MSG__SA_GET_APS{});
    const auto answer = admin.receive_as<IPC_MSG__SA_GET_APS_RESP>(2000);
    return answer ? answer->aps : std::vector<SaApsInfo::ApInfo>{};
}

template <class M>
std::vector<std::shared_ptr<M>> collect(IpcClient& client, milliseconds window) {
    std::vector<std::shared_ptr<M>> out;
    const auto deadline = std::chrono::steady_clock::now() + window;
    while (std::chrono::steady_clock::now() < deadline) {
        const auto left =
            std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
        if (auto msg = client.receive_as<M>(static_cast<int>(std::max<long>(1, left.count())))) {
            out.push_back(msg);
        }
    }
    return out;
}

// The serial of a delivered certificate, read as the service reads it: a MAC text.
std::string serial_mac(const std::string& cert_file) {
    FILE* in = std::fopen(cert_file.c_str(), "r");
    if (in == nullptr) {
        return "";
    }
    X509* cert = PEM_read_X509(in, nullptr, nullptr, nullptr);
    std::fclose(in);
    BIGNUM* bn = ASN1_INTEGER_to_BN(X509_get0_serialNumber(cert), nullptr);
    char* hex = BN_bn2hex(bn);
    const std::string mac = MacAddr::from_str(hex).str();
    OPENSSL_free(hex);
    BN_free(bn);
    X509_free(cert);
    return mac;
}

std::string upgraded_version(const char* version) {
    return FwVersionInfo::from_str(version)->to_str();
}

TEST(EndToEnd, AdministratorAuthenticatesAWaitingAp) {
    const std::string mac = "02:d0:00:00:00:01";
    E2eBed bed({false, R"({"macs": {")" + mac + R"(": {"password": "s3cret"}}})", 0, {}});
    ASSERT_TRUE(bed.ready());
    IpcClient admin = bed.admin({IPC_MSG__SA_GET_APS_RESP::kType, IPC_MSG__AUTH_AP_RESP::kType});
    const std::string report = bed.dir() + "/report.json";
    auto aps = bed.start_aps({"--count", "1", "--mac-base", mac}, report);

    ASSERT_TRUE(eventually([&] {
        const auto list = ap_list(admin);
        return list.size() == 1 && list[0].state == static_cast<uint32_t>(SaApState::WAITING_AUTH);
    })) << bed.service().stderr_text();
    IPC_MSG__AUTH_AP auth;
    auth.target = make_shared_string(mac);
    admin.send(auth);

    const ApRun run = E2eBed::finish(*aps, report, seconds(30));
    EXPECT_EQ(run.status, 0) << run.stderr_text;
    EXPECT_EQ(run.field(mac, "outcome"), "admitted");
    EXPECT_EQ(run.field(mac, "password"), "s3cret");
    const auto replies = collect<IPC_MSG__AUTH_AP_RESP>(admin, milliseconds(1500));
    ASSERT_EQ(replies.size(), 1u);
    JsonPtr text(json_loads(replies[0]->text->c_str(), 0, nullptr));
    EXPECT_EQ(text_member(text.get(), "status"), "success");
    // Admitted and ready: the service forgets it.
    EXPECT_TRUE(ap_list(admin).empty());
}

TEST(EndToEnd, AutoAuthenticationNeedsNoAdministrator) {
    E2eBed bed({true, "{}", 0, {}});
    ASSERT_TRUE(bed.ready());
    IpcClient admin = bed.admin({IPC_MSG__AUTH_AP_RESP::kType});
    const ApRun run = bed.run_aps({"--count", "4"});
    EXPECT_EQ(run.status, 0) << run.stderr_text;
    json_t* outcomes = json_object_get(json_object_get(run.report.get(), "summary"), "outcomes");
    EXPECT_EQ(json_integer_value(json_object_get(outcomes, "admitted")), 4);
    EXPECT_TRUE(collect<IPC_MSG__AUTH_AP_RESP>(admin, milliseconds(500)).empty());
    const auto files = [](const std::string& dir, const char* ext) {
        size_t n = 0;
        for (const auto& entry : std::filesystem::directory_iterator(dir)) {
            n += entry.path().extension() == ext;
        }
        return n;
    };
    EXPECT_EQ(files(bed.dir() + "/ap_certs", ".pem"), 4u);
    EXPECT_EQ(files(bed.delivery_dir(), ".key"), 4u);
}

TEST(EndToEnd, UpgradeOnEachEndpoint) {
    const char* policy = R"({"device-types": {"dor-ap110":
        {"firmware": "2.1.0", "image": "ap110.bin"}}})";
    struct Case {
        const char* name;
        bool authorized;
        const char* prefix;
        const char* failed_log;
    };
    const Case cases[] = {
        {"free endpoint, first download cut off", false,
         "SA_FREE: ", "firmware download for unauthorized AP: failed"},
        {"authorized endpoint, first download cut off", true,
         "SA_AUTH: ", "firmware download for authorized AP: failed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        E2eBed bed({true, policy, 0, {{"ap110.bin", "dor-ap110", "2.1.0", kImageSize}}});
        ASSERT_TRUE(bed.ready());
        const std::string mac = "02:d0:00:00:00:01";
        if (c.authorized) {
            // A first journey on the current version leaves the AP with its certificate.
            const ApRun first = bed.run_aps({"--mac-base", mac, "--sw-version", "2.1.0"});
            ASSERT_EQ(first.field(mac, "outcome"), "admitted");
        }
        const ApRun run =
            bed.run_aps({"--mac-base", mac, "--sw-version", "1.0.0", "--abort-downloads", "1"});
        EXPECT_EQ(run.status, 0) << run.stderr_text;
        EXPECT_EQ(run.field(mac, "outcome"), "admitted") << run.field(mac, "detail");
        EXPECT_EQ(run.number(mac, "upgrades"), 1);
        EXPECT_EQ(run.field(mac, "sw-version"), upgraded_version("2.1.0"));

        // Two downloads started, the first one's try stays used; its failure is logged.
        std::vector<std::string> started;
        for (const JsonPtr& event : bed.events()) {
            if (reason(event).rfind(std::string(c.prefix) + "started fw file download", 0) == 0) {
                started.push_back(reason(event));
            }
        }
        ASSERT_EQ(started.size(), 2u);
        EXPECT_NE(started[0].find("[ap110.bin]"), std::string::npos) << started[0];
        EXPECT_NE(started[0].find("tries left: 4)"), std::string::npos) << started[0];
        EXPECT_NE(started[1].find("tries left: 3)"), std::string::npos) << started[1];
        EXPECT_TRUE(bed.service().wait_for_stderr(c.failed_log, seconds(5)));
    }
}

TEST(EndToEnd, Refusals) {
    const std::string policy = R"({
      "device-types": {"dor-ap110": {}, "dor-ap210": {"firmware": "9.9"}},
      "macs": {
        "02:d0:00:00:03:03": {"verdict": 3}, "02:d0:00:00:03:04": {"verdict": 4},
        "02:d0:00:00:03:05": {"verdict": 5}, "02:d0:00:00:03:06": {"verdict": 6},
        "02:d0:00:00:03:07": {"verdict": 7}, "02:d0:00:00:03:08": {"verdict": 8},
        "02:d0:00:00:04:01": {"store-cert": false},
        "02:d0:00:00:04:02": {"stored-differs": true}}})";
    struct Case {
        const char* mac;
        const char* device_type;
        const char* outcome;
        const char* detail;  // the refusal's error-description
        const char* event;   // an event the refusal leaves, empty for none checked
    };
    const Case cases[] = {
        {"02:d0:00:00:01:01", "acme-x1", "refused", "unknown board type",
         "SA_FREE: AP has unknown board type"},
        {"02:d0:00:00:02:01", "dor-ap210", "refused", "no firmware image for upgrade",
         "SA_FREE: AP with unsupported firmware version, no firmware image for upgrade"},
        {"02:d0:00:00:03:03", "dor-ap110", "refused", "internal error", ""},
        {"02:d0:00:00:03:04", "dor-ap110", "refused", "limit of access points reached", ""},
        {"02:d0:00:00:03:05", "dor-ap110", "refused", "connection already established", ""},
        {"02:d0:00:00:03:06", "dor-ap110", "refused", "connection already planned", ""},
        {"02:d0:00:00:03:07", "dor-ap110", "refused", "AP not checked", ""},
        {"02:d0:00:00:03:08", "dor-ap110", "refused", "check verdict unknown", ""},
        {"02:d0:00:00:04:01", "dor-ap110", "tls-refused", "", "] does not exist"},
        {"02:d0:00:00:04:02", "dor-ap110", "tls-refused", "", "certificate differs from stored ["},
    };
    std::string plan = R"({"aps": [)";
    for (const Case& c : cases) {
        plan += std::string(&c == cases ? "" : ",") + R"({"mac": ")" + c.mac +
                R"(", "device-type": ")" + c.device_type + R"("})";
    }
    plan += "]}";
    E2eBed bed({true, policy, 0, {}});
    ASSERT_TRUE(bed.ready());
    const std::string plan_file = bed.dir() + "/plan.json";
    std::ofstream(plan_file) << plan;
    const ApRun run = bed.run_aps({"--plan", plan_file});
    EXPECT_EQ(run.status, 0) << run.stderr_text;
    const auto events = bed.events();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mac);
        EXPECT_EQ(run.field(c.mac, "outcome"), c.outcome);
        if (*c.detail != '\0') {
            EXPECT_EQ(run.field(c.mac, "detail"), c.detail);
        }
        if (*c.event == '\0') {
            continue;
        }
        // Certificate refusals name the serial's MAC, the others the AP's.
        const std::string event_mac = std::string(c.outcome) == "tls-refused"
                                          ? serial_mac(bed.delivery_dir() + "/" +
                                                       [&] {
                                                           std::string bare = c.mac;
                                                           std::erase(bare, ':');
                                                           return bare;
                                                       }() +
                                                       ".pem")
                                          : c.mac;
        bool found = false;
        for (const JsonPtr& event : events) {
            found = found || (reason(event).find(c.event) != std::string::npos &&
                              text_member(event.get(), "mac") == event_mac);
        }
        EXPECT_TRUE(found) << c.event << " for " << event_mac;
    }
}

TEST(EndToEnd, ServiceKeepsServingThroughAControllerReset) {
    E2eBed bed({true, "{}", 800, {}});
    ASSERT_TRUE(bed.ready());
    IpcClient admin = bed.admin({IPC_MSG__SA_GET_APS_RESP::kType, IPC_MSG__SA_REPORT_RESP::kType});
    const std::string report = bed.dir() + "/report.json";
    auto aps = bed.start_aps(
        {"--count", "6", "--retries", "5", "--retry-ms", "300", "--timeout", "40"}, report);
    // Every AP is in the middle of its journey: registered, its check unanswered.
    ASSERT_TRUE(eventually([&] { return ap_list(admin).size() == 6; }));
    admin.send(IPC_MSG__SA_RESET{});
    EXPECT_TRUE(eventually([&] { return ap_list(admin).size() < 6; }, seconds(2)));
    // The controller gives the service its TLS files again, as after any reset.
    bed.controller().signal(SIGHUP);

    const ApRun run = E2eBed::finish(*aps, report, seconds(60));
    EXPECT_EQ(run.status, 0) << run.stderr_text;
    json_t* summary = json_object_get(run.report.get(), "summary");
    EXPECT_EQ(json_integer_value(json_object_get(json_object_get(summary, "outcomes"), "admitted")),
              6);
    long long retries = 0;
    json_t* rows = json_object_get(run.report.get(), "aps");
    for (size_t i = 0; i < json_array_size(rows); ++i) {
        retries += json_integer_value(json_object_get(json_array_get(rows, i), "retries"));
    }
    EXPECT_GT(retries, 0) << "the reset interrupted no journey";
    EXPECT_FALSE(bed.service().wait_exit(milliseconds(0)));
    admin.send(IPC_MSG__SA_REPORT_REQ{});
    EXPECT_TRUE(admin.receive_as<IPC_MSG__SA_REPORT_RESP>(2000));
}

TEST(EndToEnd, EventStreamOfOneJourney) {
    E2eBed bed({true, "{}", 0, {}});
    ASSERT_TRUE(bed.ready());
    const std::string mac = "02:d0:00:00:00:2a";
    const std::string address = "127.0.3.7";
    const ApRun run = bed.run_aps({"--mac-base", mac, "--addr-base", address});
    ASSERT_EQ(run.field(mac, "outcome"), "admitted");
    const std::string cert_mac = serial_mac(bed.delivery_dir() + "/02d00000002a.pem");

    struct Expected {
        const char* reason;
        uint32_t code;
        bool serial_mac;  // names the certificate's serial, not the AP
    };
    // Codes: WAIT_AUTH 1, JOIN_AUTO 3 on the free side; REQ_READY 4 on the authorized side.
    const Expected expected[] = {
        {"SA_FREE: connection path /register/ap, valid AP json", 0, false},
        {"SA_FREE: start tracking AP with path [/wait/ap]", 1, false},
        {"SA_FREE: authenticating", 1, false},
        {"SA_FREE: auto authenticate enabled", 3, false},
        {"SA_FREE: AP removed from unauthed", 3, false},
        {"SA_AUTH: certificate ok", 0, true},
        {"SA_AUTH: accept AP with valid certificate", 0, false},
        {"SA_AUTH: connection path /register/ap, valid AP json", 0, false},
        {"SA_AUTH: request credentials data for the valid AP", 0, false},
        {"SA_AUTH: sending credentials to AP", 0, false},
        {"SA_AUTH: don't remove registered but not ready AP track", 0, false},
        {"SA_AUTH: start tracking AP with path [/ready/ap]", 4, false},
        {"SA_AUTH: connection path /register/ap, valid AP json", 4, false},
        {"SA_AUTH: remove from tracking", 4, false},
    };
    const auto events = bed.events();
    size_t at = 0;
    for (const Expected& e : expected) {
        while (at < events.size() && reason(events[at]) != e.reason) {
            ++at;
        }
        ASSERT_LT(at, events.size()) << "missing, or out of order: " << e.reason;
        json_t* event = events[at].get();
        EXPECT_EQ(json_integer_value(json_object_get(event, "code")), e.code) << e.reason;
        EXPECT_EQ(text_member(event, "mac"), e.serial_mac ? cert_mac : mac) << e.reason;
        const std::string ip = text_member(event, "ip");
        EXPECT_TRUE(ip.empty() || ip == address) << e.reason << ": " << ip;
        EXPECT_EQ(json_integer_value(json_object_get(event, "type")), IPC_MSG__SA_AP_EVENT::kType);
        ++at;
    }
}

}  // namespace
