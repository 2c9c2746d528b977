// The readiness exchange between the service and its supervisor over a socket pair.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <functional>
#include <memory>
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

class SupervisorTest : public ::testing::Test {
  protected:
    ~SupervisorTest() override { unsetenv("DOR_SUPERVISOR_FD"); }

    // A fresh pair, the service's end named in DOR_SUPERVISOR_FD; `side` runs
    // on the supervisor's end once READY came or did not.
    static std::thread supervisor(std::function<void(IpcClient&, bool ready)> side) {
        int mine = -1, theirs = -1;
        EXPECT_TRUE(ipc_supervisor_socketpair(mine, theirs));
        EXPECT_EQ(fcntl(theirs, F_GETFD) & FD_CLOEXEC, 0);  // the service inherits it
        EXPECT_NE(fcntl(mine, F_GETFD) & FD_CLOEXEC, 0);
        setenv("DOR_SUPERVISOR_FD", std::to_string(theirs).c_str(), 1);
        return std::thread([mine, side = std::move(side)] {
            IpcClient channel;
            channel.adopt_fd(mine);
            side(channel, ipc_supervisor_wait_ready(channel, 5000));
        });
    }

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
    bool run_sent = false;
    std::thread side = supervisor([&](IpcClient& channel, bool ready) {
        run_sent = ready && ipc_supervisor_send_run(channel);
        // Sent right behind RUN: the service must not swallow it during the exchange.
        channel.send(IPC_MSG__STOP{});
        channel.receive(2000);  // stays open until the service side closes
    });
    EXPECT_TRUE(ipc_send_ready_and_wait_for_run(*port));
    for (int i = 0; i < 200 && stops == 0; ++i) {
        port->run_once_for_timeout(10);
    }
    EXPECT_EQ(port->peer_count(), 1u);
    EXPECT_EQ(stops, 1);
    port.reset();  // closes the channel, which ends the supervisor's wait
    side.join();
    EXPECT_TRUE(run_sent);
}

TEST_F(SupervisorTest, ExchangeFailsWithoutAUsableChannelOrAnswer) {
    const int file = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const std::string file_fd = std::to_string(file);
    // what, DOR_SUPERVISOR_FD (null: unset), what a supervisor on a fresh pair does after
    // READY (null: no supervisor)
    const std::vector<std::tuple<const char*, const char*, void (*)(IpcClient&)>> cases = {
        {"variable unset", nullptr, nullptr},
        {"not a number", "abc", nullptr},
        {"not an open fd", "9999", nullptr},
        {"not a socket", file_fd.c_str(), nullptr},
        {"supervisor answers something else", nullptr,
         [](IpcClient& c) { c.send(IPC_MSG__STOP{}); }},
        {"supervisor closes", nullptr, [](IpcClient& c) { c.close(); }},
    };
    for (const auto& [what, env, answer] : cases) {
        SCOPED_TRACE(what);
        IpcPort port(SA_PORT_ID, trace_, dir_.path());
        std::thread side;
        if (answer) {
            side = supervisor([answer](IpcClient& channel, bool) { answer(channel); });
        } else if (env) {
            setenv("DOR_SUPERVISOR_FD", env, 1);
        } else {
            unsetenv("DOR_SUPERVISOR_FD");
        }
        EXPECT_FALSE(ipc_send_ready_and_wait_for_run(port));
        EXPECT_EQ(port.peer_count(), 0u);
        if (side.joinable()) {
            side.join();
        }
    }
    EXPECT_NE(fcntl(file, F_GETFD), -1);  // not ours to close
    close(file);
}

}  // namespace
