// The readiness exchange between the service and its supervisor over a socket pair.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <functional>
#include <thread>
#include <tuple>
#include <vector>

#include "libs/ipc/ipc_client.h"
#include "libs/ipc/ipc_port.h"
#include "libs/ipc/messages.h"
#include "libs/ipc/supervisor.h"
#include "tests/support/ipc_test_bed.h"

namespace {

// A fresh pair, the service's end named in DOR_SUPERVISOR_FD; `side` runs on the
// supervisor's end once READY came or did not.
std::thread supervisor(std::function<void(IpcClient&, bool ready)> side) {
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

TEST(Supervisor, ReadyRunThenStopOverTheSameChannel) {
    IpcTestBed bed;
    int stops = 0;
    bed.port.register_msg_callback(
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
    });
    EXPECT_TRUE(ipc_send_ready_and_wait_for_run(bed.port));
    for (int i = 0; i < 200 && stops == 0; ++i) {
        bed.port.run_once_for_timeout(10);
    }
    side.join();
    EXPECT_EQ(stops, 1);
    EXPECT_TRUE(run_sent);
    unsetenv("DOR_SUPERVISOR_FD");
}

// An unset variable is the service's start-up test.
TEST(Supervisor, ExchangeFailsWithoutAUsableChannelOrAnswer) {
    const int file = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const std::string file_fd = std::to_string(file);
    // what, DOR_SUPERVISOR_FD (null: a fresh pair), what the supervisor does after READY
    const std::vector<std::tuple<const char*, const char*, void (*)(IpcClient&)>> cases = {
        {"not a number", "abc", nullptr},
        {"not an open fd", "9999", nullptr},
        {"not a socket", file_fd.c_str(), nullptr},
        {"supervisor answers something else", nullptr,
         [](IpcClient& c) { c.send(IPC_MSG__STOP{}); }},
        {"supervisor closes", nullptr, [](IpcClient& c) { c.close(); }},
    };
    for (const auto& [what, env, answer] : cases) {
        SCOPED_TRACE(what);
        IpcTestBed bed;
        std::thread side;
        if (answer) {
            side = supervisor([answer](IpcClient& channel, bool) { answer(channel); });
        } else {
            setenv("DOR_SUPERVISOR_FD", env, 1);
        }
        EXPECT_FALSE(ipc_send_ready_and_wait_for_run(bed.port));
        EXPECT_EQ(bed.port.peer_count(), 1u);  // the bed's client only
        if (side.joinable()) {
            side.join();
        }
    }
    unsetenv("DOR_SUPERVISOR_FD");
    EXPECT_NE(fcntl(file, F_GETFD), -1);  // not ours to close
    close(file);
}

}  // namespace
