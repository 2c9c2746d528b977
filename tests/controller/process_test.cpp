// The real dor_sa under dor-supervisor, driven as the controller drives it:
// requests over the IPC socket, APs over HTTPS from their own addresses.

#include <gtest/gtest.h>

#include <future>
#include <string>
#include <thread>

#include "libs/ipc/messages.h"
#include "tests/controller/service_process.h"
#include "tests/https/https_bed.h"
#include "tests/https/tls_client.h"

using namespace std::chrono_literals;

namespace {

// Polls for at most 5 s.
bool listening(uint32_t port) {
    for (int i = 0; i < 250; ++i) {
        if (TlsClient({}).connect_plain(static_cast<int>(port))) {
            return true;
        }
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

IPC_MSG__SA_PORTS ports_msg(uint32_t base, bool auto_auth) {
    IPC_MSG__SA_PORTS msg;
    msg.base_port = base;
    msg.auto_auth = auto_auth ? 1 : 0;
    return msg;
}

IPC_MSG__SA_TLS_FILES tls_msg() {
    const TestPki& pki = test_pki();
    IPC_MSG__SA_TLS_FILES msg;  // message order: CA, key, certificate, AP directory
    msg.ca_file = make_shared_string(pki.path("ca.pem"));
    msg.key_file = make_shared_string(pki.path("server.key"));
    msg.cert_file = make_shared_string(pki.path("server.pem"));
    msg.ap_cert_dir = make_shared_string(pki.ap_cert_dir());
    return msg;
}

IPC_MSG__INCOMING_CONNECTIONS incoming_msg(uint32_t mode) {
    IPC_MSG__INCOMING_CONNECTIONS msg;
    msg.mode = mode;
    return msg;
}

IPC_MSG__FW_AP_CHECK_RESULT admit(const std::string& mac, bool tracked) {
    IPC_MSG__FW_AP_CHECK_RESULT msg;
    msg.mac = make_shared_string(mac);
    msg.fw_result = 4;  // firmware current
    msg.verdict = 0;
    msg.tracked = tracked ? 1 : 0;
    return msg;
}

IPC_MSG__AUTH_AP auth_msg(const std::string& target) {
    IPC_MSG__AUTH_AP msg;
    msg.target = make_shared_string(target);
    return msg;
}

std::string dorctl(const ServiceProcess& service, const std::string& args) {
    return std::string(DORCTL_BINARY) + " --ipc-dir " + service.dir() + " " + args;
}

TEST(ServiceProcessTest, ListsOfAnEmptyServiceAndUnlistedTypes) {
    ServiceProcess service;
    Controller controller(service.dir(), {114, 129, 168});

    controller.send(IPC_MSG__SA_AP_MACLIST{});
    auto macs = controller.wait_for<IPC_MSG__SA_AP_MACLIST_RESP>();
    ASSERT_TRUE(macs && macs->text);
    EXPECT_EQ(*macs->text, R"({"status":"success","data":{}})");

    controller.send(IPC_MSG__SA_RESET{});
    controller.send(IPC_MSG__SA_GET_APS{});
    auto aps = controller.wait_for<IPC_MSG__SA_GET_APS_RESP>();
    ASSERT_TRUE(aps);
    EXPECT_TRUE(aps->aps.empty());

    // Types the service sends itself, or that only travel the other way.
    controller.send(IPC_MSG__SA_GET_CREDENTIALS{});
    controller.send(IPC_MSG__AUTH_AP_RESP{});
    controller.send(IPC_MSG__SA_AP_EVENT{});
    EXPECT_TRUE(service.wait_count("Uncatched", 3)) << service.process().stderr_text();
    controller.send(IPC_MSG__SA_REPORT_REQ{});
    EXPECT_TRUE(controller.wait_for<IPC_MSG__SA_REPORT_RESP>());

    const ToolRun table = run_tool(dorctl(service, "aps"));
    EXPECT_EQ(table.status, 0);
    EXPECT_EQ(table.output, "MAC  IP  STATE  DEVICE  SW  HW  SERIAL\n");
    const ToolRun all = run_tool(dorctl(service, "auth all"));
    EXPECT_EQ(all.output, "{\n  \"status\": \"success\"\n}\n");
    EXPECT_EQ(run_tool(dorctl(service, "stop")).status, 0);
    EXPECT_EQ(service.process().wait_exit(5s), 0);
    const ToolRun gone = run_tool(dorctl(service, "report"));
    EXPECT_EQ(gone.status, 1);
    EXPECT_EQ(gone.output, "dorctl: cannot connect to " + service.dir() +
                               "/port-3.sock: No such file or directory\n");
}

TEST(ServiceProcessTest, PortsRestartOnlyTheServersThatNeedIt) {
    ServiceProcess service;
    Controller controller(service.dir(), {});
    const uint32_t base = free_port_pair();
    const uint32_t moved = free_port_pair();
    const auto free_start = [](uint32_t port) {
        return "Starting https endpoint on port " + std::to_string(port) + " LwsServerFree";
    };
    const auto auth_start = [](uint32_t port) {
        return "Starting https endpoint on port " + std::to_string(port) + " LwsServerAuthorized";
    };
    struct Step {
        const char* label;
        std::function<void()> send;
        size_t free_starts, auth_starts;  // totals on `base` after the step
    };
    const Step steps[] = {
        {"ports while connections are refused", [&] { controller.send(ports_msg(base, false)); }, 0,
         0},
        {"accepting starts the free server", [&] { controller.send(incoming_msg(0)); }, 1, 0},
        {"same ports: nothing restarts", [&] { controller.send(ports_msg(base, false)); }, 1, 0},
        {"TLS files start the authorized server", [&] { controller.send(tls_msg()); }, 1, 1},
        {"same ports, both running", [&] { controller.send(ports_msg(base, false)); }, 1, 1},
        {"the flag restarts the free server only", [&] { controller.send(ports_msg(base, true)); },
         2, 1},
        {"a firmware directory restarts nothing",
         [&] {
             IPC_MSG__SA_FW_DIR dir;
             dir.dir = make_shared_string("/nonexistent");
             controller.send(dir);
         },
         2, 1},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.label);
        step.send();
        // The report answers after the step: the service has handled it.
        Controller probe(service.dir(), {114});
        probe.send(IPC_MSG__SA_REPORT_REQ{});
        ASSERT_TRUE(probe.wait_for<IPC_MSG__SA_REPORT_RESP>());
        EXPECT_EQ(service.count(free_start(base)), step.free_starts);
        EXPECT_EQ(service.count(auth_start(base + 1)), step.auth_starts);
    }
    EXPECT_TRUE(listening(base));
    EXPECT_TRUE(listening(base + 1));

    controller.send(ports_msg(moved, true));
    EXPECT_TRUE(service.wait_count(free_start(moved), 1));
    EXPECT_TRUE(service.wait_count(auth_start(moved + 1), 1));
    EXPECT_TRUE(listening(moved + 1));
}

class ServiceWithServers : public ::testing::Test {
  protected:
    void SetUp() override {
        base = free_port_pair();
        controller.send(ports_msg(base, false));
        controller.send(tls_msg());
        controller.send(incoming_msg(0));
        ASSERT_TRUE(listening(base));
        ASSERT_TRUE(listening(base + 1));
    }

    ServiceProcess service;
    Controller controller{service.dir(), {3, 127, 136, 140, 164}};
    uint32_t base = 0;
};

TEST_F(ServiceWithServers, AuthorizedApRegistersGetsCredentialsAndIsAllowed) {
    const std::string mac = "a1:b2:c3:d4:e5:f6";  // the PKI's ap1
    const ClientOptions ap{"127.0.0.21", test_pki().path("ap1.pem"), test_pki().path("ap1.key")};
    const int port = static_cast<int>(base + 1);

    auto registered = std::async(std::launch::async, [&] {
        return exchange(ap, port, ott_post("/register/ap", "application/json", ap_body(mac)));
    });
    auto check = controller.wait_for<IPC_MSG__FW_AP_CHECK>();
    ASSERT_TRUE(check && check->mac && check->ip);
    EXPECT_EQ(*check->mac, mac);
    EXPECT_EQ(*check->ip, "127.0.0.21");
    EXPECT_TRUE(check->authorized);
    controller.send(admit(mac, true));

    auto asked = controller.wait_for<IPC_MSG__SA_GET_CREDENTIALS>();
    ASSERT_TRUE(asked && asked->mac);
    EXPECT_EQ(*asked->mac, mac);
    IPC_MSG__SA_CREDENTIALS credentials;
    credentials.mac = make_shared_string("A1:B2:C3:D4:E5:F6");
    credentials.password = make_shared_string("pw-21");
    controller.send(credentials);

    const HttpAnswer first = registered.get();
    EXPECT_EQ(first.status, 200);
    EXPECT_EQ(first.body, R"({"system":{"password":"pw-21"},"code":1,"dor-version":"2.0"})");

    // Registered but not done: the AP stays listed.
    const ToolRun table = run_tool(dorctl(service, "aps"));
    EXPECT_EQ(table.status, 0);
    EXPECT_NE(table.output.find(mac + "  127.0.0.21  joined  DOR-AP-1"), std::string::npos)
        << table.output;

    auto ready = std::async(std::launch::async, [&] {
        return exchange(ap, port, ott_post("/ready/ap", "application/json", ap_body(mac)));
    });
    auto recheck = controller.wait_for<IPC_MSG__FW_AP_CHECK>();
    ASSERT_TRUE(recheck);
    EXPECT_EQ(recheck->kind, 1u);  // ready
    controller.send(admit(mac, true));
    const HttpAnswer second = ready.get();
    EXPECT_EQ(second.status, 200);
    EXPECT_EQ(second.body, R"({"code":4027,"dor-version":"2.0"})");

    bool credentials_event = false;
    for (const auto& event : controller.collect<IPC_MSG__SA_AP_EVENT>(200ms)) {
        credentials_event |=
            event->reason && *event->reason == "SA_AUTH: sending credentials to AP";
    }
    EXPECT_TRUE(credentials_event);
}

struct Verdict {
    const char* ap;  // the PKI's AP certificate
    std::string mac, source;
    uint32_t verdict, mode, fw_result;
    std::string body;
};

TEST_F(ServiceWithServers, CheckResultsRefuseOrUpgradeAnAp) {
    const Verdict cases[] = {
        {"ap2", "0a:0b:0c:0d:0e:0f", "127.0.0.31", 5, 0, 4,
         R"({"code":4026,"error-description":"connection already established","dor-version":"2.0"})"},
        {"ap3", "c0:ff:ee:00:00:03", "127.0.0.32", 0, 2, 2,
         R"({"code":4025,"msg":"ap3.img","fw-check-crt":false,"dor-version":"2.0"})"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ap);
        const ClientOptions ap{c.source, test_pki().path(std::string(c.ap) + ".pem"),
                               test_pki().path(std::string(c.ap) + ".key")};
        auto answer = std::async(std::launch::async, [&] {
            return exchange(ap, static_cast<int>(base + 1),
                            ott_post("/register/ap", "application/json", ap_body(c.mac)));
        });
        ASSERT_TRUE(controller.wait_for<IPC_MSG__FW_AP_CHECK>());
        IPC_MSG__FW_AP_CHECK_RESULT result = admit(c.mac, true);
        result.verdict = c.verdict;
        result.mode = c.mode;
        result.fw_result = c.fw_result;
        result.fw_file = make_shared_string("ap3.img");
        controller.send(result);
        const HttpAnswer got = answer.get();
        EXPECT_EQ(got.status, 200);
        EXPECT_EQ(got.body, c.body);
    }
}

TEST_F(ServiceWithServers, AdministratorGetsOneReplyPerRequest) {
    const std::string mac = "02:aa:00:00:00:22";
    const ClientOptions ap{"127.0.0.22", "", ""};
    const int port = static_cast<int>(base);
    const HttpAnswer waiting =
        exchange(ap, port, ott_post("/wait/ap", "application/json", ap_body(mac)));
    ASSERT_EQ(waiting.status, 200) << waiting.body;

    controller.send(auth_msg(mac));
    auto cert_request = controller.wait_for<IPC_MSG__SA_CERT_AUTH_AP>();
    ASSERT_TRUE(cert_request && cert_request->ip && cert_request->mac);
    EXPECT_EQ(*cert_request->ip, "127.0.0.22");
    EXPECT_EQ(*cert_request->mac, mac);
    EXPECT_TRUE(controller.collect<IPC_MSG__AUTH_AP_RESP>(300ms).empty());

    // Named again while its certificate is made: refused at once.
    controller.send(auth_msg(mac));
    auto refusal = controller.wait_for<IPC_MSG__AUTH_AP_RESP>();
    ASSERT_TRUE(refusal && refusal->text);
    EXPECT_EQ(*refusal->text, R"({"status":"failure","cause":"AP is not waiting authentication"})");

    IPC_MSG__SA_CERT_AUTH_AP_RESULT result;
    result.ip = make_shared_string("127.0.0.22");
    result.mac = make_shared_string(mac);
    result.result = 2;
    controller.send(result);
    const auto replies = controller.collect<IPC_MSG__AUTH_AP_RESP>(500ms);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(*replies[0]->text, R"({"status":"failure","cause":"can't generate AP certificate"})");

    const ToolRun macs = run_tool(dorctl(service, "macs"));
    EXPECT_EQ(macs.output, "{\n  \"status\": \"success\",\n  \"data\": {}\n}\n");
}

}  // namespace
