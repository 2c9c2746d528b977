// The real dor_sa binary, started as the controller's supervisor would start
// it (or wrongly), driven over its real IPC socket.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "libs/ipc/ipc_client.h"
#include "libs/ipc/ipc_port.h"
#include "libs/ipc/messages.h"
#include "tests/app/subprocess.h"

using namespace std::chrono_literals;

namespace {

struct ScratchDir {
    std::string path;
    ScratchDir() {
        char tmpl[] = "/tmp/dor-proc-test-XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~ScratchDir() { std::filesystem::remove_all(path); }
};

// Standard error of the service must name the reason, and only these two
// start-up refusals never reach the trace.
struct RefusalCase {
    const char* label;
    std::string argv0;
    bool supervisor_env;
    std::string expected_stderr;  // exact when `exact`, else a substring
    bool exact;
};

TEST(ProcessStartup, RefusesWrongNameOrMissingSupervisor) {
    const std::string binary = DOR_SA_BINARY;
    const RefusalCase cases[] = {
        {"full path as name", binary, true,
         "wrong process_name: got " + binary + " != awaited dor_sa\n", true},
        {"relative path as name", "./dor_sa", true,
         "wrong process_name: got ./dor_sa != awaited dor_sa\n", true},
        {"other name", "dor_sa_old", true, "wrong process_name: got dor_sa_old != awaited dor_sa\n",
         true},
        {"no supervisor", "dor_sa", false, "Cannot be run in standalone mode", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        ScratchDir dir;
        Subprocess::Spec spec{
            binary, {c.argv0}, {{"DOR_IPC_DIR", dir.path}}, {"DOR_SUPERVISOR_FD"}};
        if (c.supervisor_env) {
            spec.env["DOR_SUPERVISOR"] = "1";
        } else {
            spec.unset_env.push_back("DOR_SUPERVISOR");
        }
        Subprocess proc(spec);
        EXPECT_EQ(proc.wait_exit(10s), 255);
        if (c.exact) {
            EXPECT_EQ(proc.stderr_text(), c.expected_stderr);
        } else {
            EXPECT_NE(proc.stderr_text().find(c.expected_stderr), std::string::npos)
                << proc.stderr_text();
        }
    }
}

TEST(ProcessStartup, EmptySupervisorValueCountsButReadinessNeedsTheChannel) {
    ScratchDir dir;
    // Only the presence of DOR_SUPERVISOR matters; without the supervisor's
    // channel the readiness exchange is what fails.
    Subprocess proc({DOR_SA_BINARY,
                     {"dor_sa"},
                     {{"DOR_SUPERVISOR", ""}, {"DOR_IPC_DIR", dir.path}},
                     {"DOR_SUPERVISOR_FD"}});
    EXPECT_EQ(proc.wait_exit(10s), 255);
    const std::string err = proc.stderr_text();
    EXPECT_EQ(err.find("Cannot be run in standalone mode"), std::string::npos) << err;
    EXPECT_NE(err.find("Send ipc ready and wait for ipc run failed"), std::string::npos) << err;
}

class Supervised : public ::testing::Test {
  protected:
    void SetUp() override {
        proc_ = std::make_unique<Subprocess>(
            Subprocess::Spec{DOR_SUPERVISOR_BINARY,
                             {"dor-supervisor", "--service", DOR_SA_BINARY},
                             {{"DOR_IPC_DIR", dir_.path}},
                             {"DOR_SUPERVISOR", "DOR_SUPERVISOR_FD"}});
        ASSERT_TRUE(proc_->wait_for_stderr("dor_sa ready", 10s)) << proc_->stderr_text();
    }

    IpcClient connect_client() {
        IpcClient client;
        std::string error;
        EXPECT_TRUE(client.connect(dir_.path, SA_PORT_ID, &error)) << error;
        return client;
    }

    ScratchDir dir_;
    std::unique_ptr<Subprocess> proc_;
};

TEST_F(Supervised, StopMessageEndsServiceWithinATurn) {
    IpcClient client = connect_client();
    const auto sent = std::chrono::steady_clock::now();
    ASSERT_EQ(client.send(IPC_MSG__STOP{}), IPC_OK);
    EXPECT_EQ(proc_->wait_exit(5s), 0) << proc_->stderr_text();
    // One turn is bounded by its waits (~50 ms); allow for a loaded machine.
    EXPECT_LT(std::chrono::steady_clock::now() - sent, 2s);
    EXPECT_NE(proc_->stderr_text().find("dor_sa exited with status 0"), std::string::npos);
}

TEST_F(Supervised, SigtermBecomesStopMessage) {
    proc_->signal(SIGTERM);
    EXPECT_EQ(proc_->wait_exit(5s), 0) << proc_->stderr_text();
    EXPECT_NE(proc_->stderr_text().find("stop requested"), std::string::npos);
}

TEST_F(Supervised, SighupReloadsTraceConfiguration) {
    proc_->signal(SIGHUP);  // forwarded to the service
    EXPECT_TRUE(proc_->wait_for_stderr("Reload config by SIGHUP", 5s)) << proc_->stderr_text();
    proc_->signal(SIGTERM);
    EXPECT_EQ(proc_->wait_exit(5s), 0);
}

TEST_F(Supervised, UnknownTypeIsUncatchedAndServiceGoesOn) {
    IpcClient client = connect_client();
    IPC_MSG__SA_GET_CREDENTIALS own_message;  // a type the service sends, never handles
    ASSERT_EQ(client.send(own_message), IPC_OK);
    EXPECT_TRUE(proc_->wait_for_stderr("Uncatched", 5s)) << proc_->stderr_text();
    ASSERT_EQ(client.send(IPC_MSG__STOP{}), IPC_OK);
    EXPECT_EQ(proc_->wait_exit(5s), 0);
}

// Raw bytes that no well-behaved peer sends; the service must drop that peer
// and keep serving the others.
TEST_F(Supervised, MalformedPeersDoNotStopTheService) {
    const std::string socket_path = ipc_socket_path(dir_.path, SA_PORT_ID);
    const std::string garbage[] = {
        std::string("\x00\x00\x00\x05\x01\x02", 6),        // frame cut short, then close
        std::string("\x7f\xff\xff\xff", 4),                // absurd length
        std::string("\x00\x00\x00\x03\xc1\xc1\xc1", 7),    // not msgpack
        std::string("\x00\x00\x00\x02\x92\xa1", 6) + "x",  // array whose type is a string
        std::string("\x00\x00\x00\x03\x92\x19\x01", 7),    // stop with a field it does not have
    };
    for (const auto& bytes : garbage) {
        const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        ASSERT_GE(fd, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", socket_path.c_str());
        ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        std::this_thread::sleep_for(50ms);
        close(fd);
    }
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(proc_->wait_exit(0ms).has_value()) << proc_->stderr_text();

    IpcClient client = connect_client();
    ASSERT_EQ(client.send(IPC_MSG__STOP{}), IPC_OK);
    EXPECT_EQ(proc_->wait_exit(5s), 0) << proc_->stderr_text();
}

}  // namespace
