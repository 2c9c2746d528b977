// The installed tree as an operator meets it: the tools' common command line,
// and the supervisor and service run from a DESTDIR install, with systemd's
// readiness protocol seen from a socket of our own.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "dor_version.h"
#include "tests/app/subprocess.h"
#include "tests/support/ipc_test_bed.h"

using namespace std::chrono_literals;

namespace {

struct Ran {
    int status;
    std::string out, err;
};

std::string slurp(const std::string& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Runs a command line through the shell, standard output and error apart.
Ran run(const std::string& command) {
    TempDir dir;
    const std::string out = dir.path() + "/out", err = dir.path() + "/err";
    const int raw = std::system((command + " >" + out + " 2>" + err + " </dev/null").c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, slurp(out), slurp(err)};
}

TEST(ToolCommandLine, VersionAndUnknownOptionAlike) {
    const std::pair<const char*, const char*> tools[] = {
        {"dor-supervisor", DOR_SUPERVISOR_BINARY},
        {"dorctl", DORCTL_BINARY},
        {"dor-ap-sim", DOR_AP_SIM_BINARY},
        {"dor-controller-sim", DOR_CONTROLLER_SIM_BINARY},
        {"dor-mkfw", DOR_MKFW_BINARY},
    };
    for (const auto& [name, path] : tools) {
        SCOPED_TRACE(name);
        const Ran version = run(std::string(path) + " --version");
        EXPECT_EQ(version.status, 0);
        // The git part is left out: a partial rebuild may leave it older here.
        EXPECT_EQ(version.out.rfind(std::string(name) + " (dor_sa) " + DOR_VERSION, 0), 0u)
            << version.out;
        EXPECT_EQ(std::count(version.out.begin(), version.out.end(), '\n'), 1) << version.out;
        EXPECT_EQ(version.err, "");
        const Ran bogus = run(std::string(path) + " --bogus");
        EXPECT_EQ(bogus.status, 2);
        EXPECT_EQ(bogus.out, "");
        EXPECT_EQ(bogus.err,
                  std::string(name) + ": unknown option '--bogus'\nTry '" + name + " --help'.\n");
    }
}

// Receives what the supervisor tells systemd.
class NotifySocket {
  public:
    explicit NotifySocket(const std::string& path) : path_(path) {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
        bound_ = bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        const timeval wait{10, 0};  // the supervisor's own ready timeout is longer
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    }
    ~NotifySocket() { close(fd_); }
    bool bound() const { return bound_; }
    std::string receive() const {
        char buf[512];
        const ssize_t n = recv(fd_, buf, sizeof buf, 0);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
    }

  private:
    std::string path_;
    int fd_ = -1;
    bool bound_ = false;
};

TEST(InstalledTree, RunsFromWhereItLiesAnswersAndStopsCleanly) {
    const std::string root = std::getenv("DOR_INSTALL_ROOT") ? std::getenv("DOR_INSTALL_ROOT") : "";
    ASSERT_FALSE(root.empty()) << "DOR_INSTALL_ROOT: the DESTDIR of the install fixture";
    TempDir dir;
    const NotifySocket notify(dir.path() + "/notify");
    ASSERT_TRUE(notify.bound());
    // No --service: the supervisor finds the installed service itself.
    Subprocess supervisor{{root + "/usr/sbin/dor-supervisor",
                           {"dor-supervisor"},
                           {{"DOR_IPC_DIR", dir.path()},
                            {"DOR_TRACE_CONFIG", root + "/etc/dor/trace.json"},
                            {"NOTIFY_SOCKET", dir.path() + "/notify"}},
                           {"DOR_SUPERVISOR", "DOR_SUPERVISOR_FD"}}};
    EXPECT_EQ(notify.receive(), "READY=1");
    ASSERT_TRUE(supervisor.wait_for_stderr("dor_sa ready", 1s)) << supervisor.stderr_text();

    const std::string err = supervisor.stderr_text();
    const size_t first_sys = err.find(" sys ");
    ASSERT_NE(first_sys, std::string::npos) << err;
    const std::string line = err.substr(first_sys, err.find('\n', first_sys) - first_sys);
    EXPECT_NE(line.find(std::string("dor_sa version ") + DOR_VERSION), std::string::npos) << line;
    // The shipped trace configuration is one the service takes.
    EXPECT_EQ(err.find("using the defaults"), std::string::npos) << err;

    const Ran report = run(root + "/usr/bin/dorctl --ipc-dir " + dir.path() + " report");
    EXPECT_EQ(report.status, 0) << report.err;
    EXPECT_EQ(report.out.rfind("{", 0), 0u) << report.out;

    supervisor.signal(SIGTERM);
    EXPECT_EQ(notify.receive(), "STOPPING=1");
    EXPECT_EQ(supervisor.wait_exit(10s), 0) << supervisor.stderr_text();
}

}  // namespace
