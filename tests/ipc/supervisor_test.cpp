// The readiness exchange between the service and its supervisor over a socket pair.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "libs/ipc/ipc_client.h"
#include "libs/ipc/ipc_port.h"
#include "libs/ipc/messages.h"
#include "libs/ipc/supervisor.h"
#include "libs/trace/trace.h"
#include "tests/support/ipc_test_bed.h"

namespace {

using Clock = std::chrono::steady_clock;

class SupervisorTest : public ::testing::Test {
  protected:
    ~SupervisorTest() override { unsetenv("DOR_SUPERVISOR_FD"); }

    Trace trace_{"IPCTEST"};
    TempDir dir_;
};

TEST_F(SupervisorTest, ReadyRunThenStopOverTheSameChannel) {
    auto port = std::make_unique<IpcPort>(SA_PORT_ID, trace_, dir_.path());
    int stops = 0;
    port->register_msg_callback(
        [&](const IMsg& msg, IpcPort&, void*) {
            stops += msg.get_type() == IPC_MSG__STOP::kType;
            return IPC_OK;
        },
        nullptr);
    int mine = -1;
    int theirs = -1;
    ASSERT_TRUE(ipc_supervisor_socketpair(mine, theirs));
    EXPECT_EQ(fcntl(theirs, F_GETFD) & FD_CLOEXEC, 0);  // the service inherits it
    EXPECT_NE(fcntl(mine, F_GETFD) & FD_CLOEXEC, 0);
    setenv("DOR_SUPERVISOR_FD", std::to_string(theirs).c_str(), 1);

    bool ready = false;
    bool run_sent = false;
    std::thread supervisor([&] {
        IpcClient channel;
        channel.adopt_fd(mine);
        ready = ipc_supervisor_wait_ready(channel, 5000);
        run_sent = ready && ipc_supervisor_send_run(channel);
        // Sent right behind RUN: the service must not swallow it during the exchange.
        channel.send(IPC_MSG__STOP{});
        channel.receive(2000);  // stays open until the service side closes
    });
    const bool running = ipc_send_ready_and_wait_for_run(*port);
    const auto deadline = Clock::now() + std::chrono::seconds(2);
    while (stops == 0 && Clock::now() < deadline) {
        port->run_once_for_timeout(10);
    }
    const size_t peers = port->peer_count();
    port.reset();  // closes the channel, which ends the supervisor's wait
    supervisor.join();
    EXPECT_TRUE(ready);
    EXPECT_TRUE(run_sent);
    EXPECT_TRUE(running);
    EXPECT_EQ(peers, 1u);
    EXPECT_EQ(stops, 1);
}

TEST_F(SupervisorTest, ExchangeFailsWithoutAUsableChannelOrAnswer) {
    const int file = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const std::string file_fd = std::to_string(file);
    // what, DOR_SUPERVISOR_FD (null: unset; empty: the service end of a fresh
    // pair), what the supervisor does after READY
    const std::vector<std::tuple<const char*, const char*, void (*)(IpcClient&)>> cases = {
        {"variable unset", nullptr, nullptr},
        {"not a number", "abc", nullptr},
        {"not an open fd", "9999", nullptr},
        {"not a socket", file_fd.c_str(), nullptr},
        {"supervisor answers something else", "", [](IpcClient& c) { c.send(IPC_MSG__STOP{}); }},
        {"supervisor closes", "", [](IpcClient& c) { c.close(); }},
    };
    for (const auto& [what, env, answer] : cases) {
        SCOPED_TRACE(what);
        IpcPort port(SA_PORT_ID, trace_, dir_.path());
        std::thread supervisor;
        int mine = -1;
        int theirs = -1;
        if (env == nullptr) {
            unsetenv("DOR_SUPERVISOR_FD");
        } else if (*env != '\0') {
            setenv("DOR_SUPERVISOR_FD", env, 1);
        } else {
            ASSERT_TRUE(ipc_supervisor_socketpair(mine, theirs));
            setenv("DOR_SUPERVISOR_FD", std::to_string(theirs).c_str(), 1);
            supervisor = std::thread([mine, answer] {
                IpcClient channel;
                channel.adopt_fd(mine);
                ipc_supervisor_wait_ready(channel, 5000);
                answer(channel);
            });
        }
        EXPECT_FALSE(ipc_send_ready_and_wait_for_run(port));
        EXPECT_EQ(port.peer_count(), 0u);
        if (supervisor.joinable()) {
            supervisor.join();
        }
    }
    EXPECT_NE(fcntl(file, F_GETFD), -1);  // not ours to close
    close(file);
}

}  // namespace
