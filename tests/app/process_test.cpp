#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>

#include "libs/ipc/ipc_client.h"
#include "libs/ipc/ipc_port.h"
#include "libs/ipc/messages.h"
#include "tests/app/subprocess.h"
#include "tests/support/ipc_test_bed.h"

using namespace std::chrono_literals;

namespace {

// Start-up refusals come before the trace, so standard error holds only the reason.
TEST(ProcessStartup, RefusesWrongNameOrMissingSupervisor) {
    const std::string binary = DOR_SA_BINARY;
    struct Case {
        std::string argv0;
        std::optional<std::string> supervisor;  // DOR_SUPERVISOR; none: unset
        std::string said;
        bool exact;
    };
    const Case cases[] = {
        {binary, "1", "wrong process_name: got " + binary + " != awaited dor_sa\n", true},
        {"dor_sa_old", "1", "wrong process_name: got dor_sa_old != awaited dor_sa\n", true},
        {"dor_sa", std::nullopt, "Cannot be run in standalone mode", false},
        // Only the variable's presence counts; then the supervisor's channel is missing.
        {"dor_sa", "", "Send ipc ready and wait for ipc run failed", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.said);
        TempDir dir;
        Subprocess::Launch launch{binary,
                                  {c.argv0},
                                  {{"DOR_IPC_DIR", dir.path()}},
                                  {"DOR_SUPERVISOR", "DOR_SUPERVISOR_FD"}};
        if (c.supervisor)
            launch.env["DOR_SUPERVISOR"] = *c.supervisor;
        Subprocess proc(launch);
        EXPECT_EQ(proc.wait_exit(10s), 255);
        const std::string err = proc.stderr_text();
        EXPECT_TRUE(c.exact ? err == c.said : err.find(c.said) != std::string::npos) << err;
    }
}

// SIGTERM through the supervisor is every e2e bed's shutdown; here the IPC stop.
TEST(Supervised, SighupReloadsMalformedPeersAreDroppedAndStopEnds) {
    TempDir dir;
    Subprocess proc{{DOR_SUPERVISOR_BINARY,
                     {"dor-supervisor", "--service", DOR_SA_BINARY},
                     {{"DOR_IPC_DIR", dir.path()}},
                     {"DOR_SUPERVISOR", "DOR_SUPERVISOR_FD"}}};
    ASSERT_TRUE(proc.wait_for_stderr("dor_sa ready", 10s)) << proc.stderr_text();
    proc.signal(SIGHUP);  // forwarded to the service
    EXPECT_TRUE(proc.wait_for_stderr("Reload config by SIGHUP", 5s)) << proc.stderr_text();
    const std::string garbage[] = {
        std::string("\x00\x00\x00\x05\x01\x02", 6),        // frame cut short, then close
        std::string("\x7f\xff\xff\xff", 4),                // absurd length
        std::string("\x00\x00\x00\x03\xc1\xc1\xc1", 7),    // not msgpack
        std::string("\x00\x00\x00\x02\x92\xa1", 6) + "x",  // array whose type is a string
        std::string("\x00\x00\x00\x03\x92\x19\x01", 7),    // stop with a field it does not have
    };
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s",
                  ipc_socket_path(dir.path(), SA_PORT_ID).c_str());
    for (const auto& bytes : garbage) {
        const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        EXPECT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        std::this_thread::sleep_for(50ms);
        close(fd);
    }
    EXPECT_FALSE(proc.wait_exit(100ms).has_value()) << proc.stderr_text();
    IpcClient client;
    ASSERT_TRUE(client.connect(dir.path(), SA_PORT_ID, nullptr));
    ASSERT_EQ(client.send(IPC_MSG__STOP{}), IPC_OK);
    // One turn is bounded by its waits (~50 ms); allow for a loaded machine.
    EXPECT_EQ(proc.wait_exit(2s), 0) << proc.stderr_text();
    EXPECT_NE(proc.stderr_text().find("dor_sa exited with status 0"), std::string::npos);
}

}  // namespace
