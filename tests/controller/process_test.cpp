// The real dor_sa under dor-supervisor, driven as the controller drives it:
// requests over the IPC socket or through dorctl, APs over HTTPS from their
// own addresses.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <future>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "libs/ipc/ipc_client.h"
#include "libs/ipc/messages.h"
#include "tests/app/subprocess.h"
#include "tests/https/https_bed.h"
#include "tests/https/tls_client.h"
#include "tests/support/ipc_test_bed.h"

using namespace std::chrono_literals;

namespace {

struct ToolRun {
    int status = -1;
    std::string output;  // standard output and error together
};

struct ServiceProcess {
    ServiceProcess() { EXPECT_TRUE(proc.wait_for_stderr("dor_sa ready", 10s)) << log(); }
    ~ServiceProcess() {
        if (!proc.wait_exit(0ms)) {
            dorctl("stop");
            EXPECT_EQ(proc.wait_exit(5s), 0) << log();
        }
    }
    std::string log() const { return proc.stderr_text(); }

    size_t count(const std::string& needle) const {
        const std::string text = log();
        size_t n = 0;
        for (size_t at = text.find(needle); at != std::string::npos;
             at = text.find(needle, at + needle.size())) {
            ++n;
        }
        return n;
    }
    ToolRun dorctl(const std::string& args) const {
        const std::string line =
            std::string(DORCTL_BINARY) + " --ipc-dir " + dir.path() + " " + args + " 2>&1";
        ToolRun run;
        FILE* pipe = popen(line.c_str(), "r");
        std::array<char, 4096> buffer;
        for (size_t n; pipe && (n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0;) {
            run.output.append(buffer.data(), n);
        }
        const int raw = pipe ? pclose(pipe) : -1;
        run.status = raw != -1 && WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        return run;
    }

    TempDir dir;
    Subprocess proc{{DOR_SUPERVISOR_BINARY,
                     {"dor-supervisor", "--service", DOR_SA_BINARY},
                     {{"DOR_IPC_DIR", dir.path()}},
                     {"DOR_SUPERVISOR", "DOR_SUPERVISOR_FD"}}};
};

IpcClient controller(const ServiceProcess& service, const std::vector<uint32_t>& types) {
    IpcClient client;
    EXPECT_TRUE(client.connect(service.dir.path(), SA_PORT_ID, nullptr) && client.subscribe(types));
    return client;
}

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

std::string ports(uint32_t base) {
    return "ports " + std::to_string(base);
}

std::string tls_command() {
    const TestPki& pki = test_pki();
    return "tls --ca " + pki.path("ca.pem") + " --cert " + pki.path("server.pem") + " --key " +
           pki.path("server.key") + " --ap-cert-dir " + pki.ap_cert_dir();
}

TEST(ServiceProcessTest, DorctlListsStopsAndThenFindsNoService) {
    ServiceProcess service;
    const ToolRun table = service.dorctl("aps");
    EXPECT_EQ(table.status, 0);
    EXPECT_EQ(table.output, "MAC  IP  STATE  DEVICE  SW  HW  SERIAL\n");
    EXPECT_EQ(service.dorctl("stop").status, 0);
    EXPECT_EQ(service.proc.wait_exit(5s), 0);
    const ToolRun gone = service.dorctl("report");
    EXPECT_EQ(gone.status, 1);
    EXPECT_EQ(gone.output, "dorctl: cannot connect to " + service.dir.path() +
                               "/port-3.sock: No such file or directory\n");
}

TEST(ServiceProcessTest, PortsRestartOnlyTheServersThatNeedIt) {
    ServiceProcess service;
    const uint32_t base = free_port_pair();
    auto start = [](uint32_t port, const char* server) {
        return "Starting https endpoint on port " + std::to_string(port) + " " + server;
    };
    // Starts on `base` in total after each command.
    const std::vector<std::tuple<std::string, size_t, size_t>> steps = {
        {ports(base), 0, 0},  // connections are still refused
        {"incoming accept", 1, 0},
        {ports(base), 1, 0},  // no TLS files: no authorized server
        {tls_command(), 1, 1},
        {ports(base), 1, 1},
        {ports(base) + " --auto-auth", 2, 1},  // the flag is the free server's
        {"fw-dir /nonexistent", 2, 1},
    };
    for (const auto& [command, free_starts, auth_starts] : steps) {
        SCOPED_TRACE(command);
        EXPECT_EQ(service.dorctl(command).status, 0);
        // Answered only after the command before it was handled.
        EXPECT_EQ(service.dorctl("report").status, 0);
        EXPECT_EQ(service.count(start(base, "LwsServerFree")), free_starts);
        EXPECT_EQ(service.count(start(base + 1, "LwsServerAuthorized")), auth_starts);
    }
    EXPECT_TRUE(listening(base));
    EXPECT_TRUE(listening(base + 1));

    const uint32_t moved = free_port_pair();
    EXPECT_EQ(service.dorctl(ports(moved) + " --auto-auth").status, 0);
    EXPECT_TRUE(service.proc.wait_for_stderr(start(moved, "LwsServerFree"), 10s));
    EXPECT_TRUE(service.proc.wait_for_stderr(start(moved + 1, "LwsServerAuthorized"), 10s));
    EXPECT_TRUE(listening(moved + 1));
}

class ServiceWithServers : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const auto& command : {ports(base), tls_command(), std::string("incoming accept")}) {
            ASSERT_EQ(service.dorctl(command).status, 0) << command;
        }
        ASSERT_TRUE(listening(base));
        ASSERT_TRUE(listening(base + 1));
    }

    ServiceProcess service;
    const uint32_t base = free_port_pair();
    // Subscribed long before any test step; separate peers, so that waiting
    // for one class of message drops nothing of the other.
    IpcClient admin = controller(service, {IPC_MSG__AUTH_AP_RESP::kType});
    IpcClient peer =
        controller(service, {IPC_MSG__FW_AP_CHECK::kType, IPC_MSG__SA_GET_CREDENTIALS::kType,
                             IPC_MSG__SA_CERT_AUTH_AP::kType});
};

TEST_F(ServiceWithServers, AuthorizedApRegistersGetsCredentialsAndIsAllowed) {
    const std::string mac = "a1:b2:c3:d4:e5:f6";  // the PKI's ap1
    const ClientOptions ap =
        client_at("127.0.0.21", test_pki().path("ap1.pem"), test_pki().path("ap1.key"));
    auto request = [&](std::string path) {
        return std::async(std::launch::async, [&, path] {
            return exchange(ap, static_cast<int>(base + 1),
                            ott_post(path, "application/json", ap_body(mac)));
        });
    };
    IPC_MSG__FW_AP_CHECK_RESULT admit;
    admit.mac = make_shared_string(mac);
    admit.fw_result = 4;  // firmware current
    admit.tracked = 1;

    auto registered = request("/register/ap");
    auto check = peer.receive_as<IPC_MSG__FW_AP_CHECK>(10000);
    ASSERT_TRUE(check && check->mac && check->ip);
    EXPECT_EQ(*check->mac, mac);
    EXPECT_EQ(*check->ip, "127.0.0.21");
    EXPECT_TRUE(check->authorized);
    EXPECT_EQ(peer.send(admit), IPC_OK);

    auto asked = peer.receive_as<IPC_MSG__SA_GET_CREDENTIALS>(10000);
    ASSERT_TRUE(asked && asked->mac);
    EXPECT_EQ(*asked->mac, mac);
    IPC_MSG__SA_CREDENTIALS credentials;
    credentials.mac = make_shared_string("A1:B2:C3:D4:E5:F6");
    credentials.password = make_shared_string("pw-21");
    EXPECT_EQ(peer.send(credentials), IPC_OK);
    const HttpAnswer first = registered.get();
    EXPECT_EQ(first.status, 200);
    EXPECT_EQ(first.body, R"({"system":{"password":"pw-21"},"code":1,"dor-version":"2.0"})");

    auto ready = request("/ready/ap");
    auto recheck = peer.receive_as<IPC_MSG__FW_AP_CHECK>(10000);
    ASSERT_TRUE(recheck);
    EXPECT_EQ(recheck->kind, 1u);  // ready
    EXPECT_EQ(peer.send(admit), IPC_OK);
    const HttpAnswer second = ready.get();
    EXPECT_EQ(second.status, 200);
    EXPECT_EQ(second.body, R"({"code":4027,"dor-version":"2.0"})");
}

TEST_F(ServiceWithServers, AdministratorGetsOneReplyPerRequest) {
    const std::string mac = "02:aa:00:00:00:22";
    const HttpAnswer waiting = exchange(client_at("127.0.0.22"), static_cast<int>(base),
                                        ott_post("/wait/ap", "application/json", ap_body(mac)));
    ASSERT_EQ(waiting.status, 200) << waiting.body;

    IPC_MSG__AUTH_AP auth;
    auth.target = make_shared_string(mac);
    EXPECT_EQ(admin.send(auth), IPC_OK);
    auto cert_request = peer.receive_as<IPC_MSG__SA_CERT_AUTH_AP>(10000);
    ASSERT_TRUE(cert_request && cert_request->ip && cert_request->mac);
    EXPECT_EQ(*cert_request->ip, "127.0.0.22");
    EXPECT_EQ(*cert_request->mac, mac);
    EXPECT_FALSE(admin.receive_as<IPC_MSG__AUTH_AP_RESP>(300));

    // Named again while its certificate is made: refused at once.
    EXPECT_EQ(admin.send(auth), IPC_OK);
    auto refusal = admin.receive_as<IPC_MSG__AUTH_AP_RESP>(10000);
    ASSERT_TRUE(refusal && refusal->text);
    EXPECT_EQ(*refusal->text, R"({"status":"failure","cause":"AP is not waiting authentication"})");

    IPC_MSG__SA_CERT_AUTH_AP_RESULT result;
    result.ip = make_shared_string("127.0.0.22");
    result.mac = make_shared_string(mac);
    result.result = 2;
    EXPECT_EQ(peer.send(result), IPC_OK);
    auto reply = admin.receive_as<IPC_MSG__AUTH_AP_RESP>(10000);
    ASSERT_TRUE(reply && reply->text);
    EXPECT_EQ(*reply->text, R"({"status":"failure","cause":"can't generate AP certificate"})");
    EXPECT_FALSE(admin.receive_as<IPC_MSG__AUTH_AP_RESP>(300));
}

}  // namespace
