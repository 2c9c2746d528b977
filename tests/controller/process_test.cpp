// The real dor_sa under dor-supervisor, driven through dorctl as an administrator would.

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <string>
#include <tuple>
#include <vector>

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
    explicit ServiceProcess(const char* binary = DOR_SA_BINARY)
        : proc({DOR_SUPERVISOR_BINARY,
                {"dor-supervisor", "--service", binary},
                {{"DOR_IPC_DIR", dir.path()}},
                {"DOR_SUPERVISOR", "DOR_SUPERVISOR_FD"}}) {
        EXPECT_TRUE(proc.wait_for_stderr("dor_sa ready", 10s)) << log();
    }
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
        for (size_t at = 0; (at = text.find(needle, at)) != std::string::npos; ++at) {
            ++n;
        }
        return n;
    }
    ToolRun dorctl(const std::string& args) const {
        const std::string line = DORCTL_BINARY " --ipc-dir " + dir.path() + " " + args + " 2>&1";
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
    Subprocess proc;
};

std::string ports(uint32_t base) {
    return "ports " + std::to_string(base);
}

std::string started(uint32_t port, const char* server) {
    return "Starting https endpoint on port " + std::to_string(port) + " " + server;
}

TEST(ServiceProcessTest, PortsRestartOnlyWhatNeedsItStopEndsTheService) {
    ServiceProcess service;
    EXPECT_EQ(service.dorctl("aps").output, "MAC  IP  STATE  DEVICE  SW  HW  SERIAL\n");
    const uint32_t base = free_port_pair();
    const TestPki& pki = test_pki();
    const std::string tls = "tls --ca " + pki.path("ca.pem") + " --cert " + pki.path("server.pem") +
                            " --key " + pki.path("server.key") + " --ap-cert-dir " +
                            pki.ap_cert_dir();
    // command, starts of the free and of the authorized server in total after it
    const std::vector<std::tuple<std::string, size_t, size_t>> steps = {
        {ports(base), 0, 0},  // connections are still refused
        {"incoming accept", 1, 0},
        {ports(base), 1, 0},  // no TLS files: no authorized server
        {tls, 1, 1},
        {ports(base), 1, 1},
        {ports(base) + " --auto-auth", 2, 1},  // the flag is the free server's
        {"fw-dir /nonexistent", 2, 1},
    };
    for (const auto& [command, free_starts, auth_starts] : steps) {
        SCOPED_TRACE(command);
        EXPECT_EQ(service.dorctl(command).status, 0);
        // Answered only after the command before it was handled.
        EXPECT_EQ(service.dorctl("report").status, 0);
        EXPECT_EQ(service.count(started(base, "LwsServerFree")), free_starts);
        EXPECT_EQ(service.count(started(base + 1, "LwsServerAuthorized")), auth_starts);
    }
    EXPECT_TRUE(wait_listening(static_cast<int>(base), 5s));
    EXPECT_TRUE(wait_listening(static_cast<int>(base + 1), 5s));
    EXPECT_EQ(service.dorctl("stop").status, 0);
    EXPECT_EQ(service.proc.wait_exit(5s), 0);
    // Each dorctl is its own process; the user is this test's.
    const passwd* user = getpwuid(getuid());
    const std::string by = " from user " + std::string(user ? user->pw_name : "") + " pid ";
    EXPECT_EQ(service.count("Administrator command 130 (ports " + std::to_string(base) +
                            ", auto-authentication off)" + by),
              3u);
    EXPECT_EQ(service.count("Administrator command 25 (stop)" + by), 1u);
    const ToolRun gone = service.dorctl("report");
    EXPECT_EQ(gone.status, 1);
    EXPECT_EQ(gone.output, "dorctl: cannot connect to " + service.dir.path() +
                               "/port-3.sock: No such file or directory\n");
}

// The service's own entry, loop and port; only the 126 handler is swapped, at link time,
// for one that throws.
TEST(ServiceProcessTest, HandlerExceptionEndsTheProcessLogged) {
    ServiceProcess service(DOR_SA_THROWING_BINARY);
    service.dorctl("--timeout 2 auth all");
    EXPECT_EQ(service.proc.wait_exit(5s), 255) << service.log();
    EXPECT_EQ(service.count("SYSTEM: Got exception: test-only failure of the 126 handler"), 1u)
        << service.log();
}

}  // namespace
