// The readiness exchange between the service and its supervisor over a socket pair.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <thread>
#include <tuple>
#include <vector>

#include "libs/ipc/ipc_client.h"
#include "libs/ipc/ipc_port.h"
#include "libs/ipc/messages.h"
#include "libs/ipc/supervisor.h"
#include "tests/support/ipc_test_bed.h"

namespace {

// An unset variable is the service's start-up test.
TEST(Supervisor, ReadyExchange) {
    const int file = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const std::string file_fd = std::to_string(file);
    using Answer = void (*)(IpcClient&);
    // what, DOR_SUPERVISOR_FD (null: a fresh pair), what the supervisor does after READY, run
    const std::vector<std::tuple<const char*, const char*, Answer, bool>> cases = {
        // STOP right behind RUN: the service must not swallow it during the exchange.
        {"run then stop", nullptr,
         [](IpcClient& c) {
             EXPECT_TRUE(ipc_supervisor_send_run(c));
             c.send(IPC_MSG__STOP{});
         },
         true},
        {"not a number", "abc", nullptr, false},
        {"not an open fd", "9999", nullptr, false},
        {"not a socket", file_fd.c_str(), nullptr, false},
        {"supervisor answers something else", nullptr,
         [](IpcClient& c) { c.send(IPC_MSG__STOP{}); }, false},
        {"supervisor closes", nullptr, [](IpcClient& c) { c.close(); }, false},
    };
    for (const auto& [what, env, answer, runs] : cases) {
        SCOPED_TRACE(what);
        IpcTestBed bed;
        int stops = 0;
        bed.port.register_msg_callback(
            [&](const IMsg& msg, IpcPort&, void*) {
                stops += msg.get_type() == IPC_MSG__STOP::kType;
                return IPC_OK;
            },
            nullptr);
        std::thread side;
        if (answer) {
            int mine = -1, theirs = -1;
            ASSERT_TRUE(ipc_supervisor_socketpair(mine, theirs));
            EXPECT_EQ(fcntl(theirs, F_GETFD) & FD_CLOEXEC, 0);  // the service inherits it
            EXPECT_NE(fcntl(mine, F_GETFD) & FD_CLOEXEC, 0);
            setenv("DOR_SUPERVISOR_FD", std::to_string(theirs).c_str(), 1);
            side = std::thread([mine, answer = answer] {
                IpcClient channel;
                channel.adopt_fd(mine);
                EXPECT_TRUE(ipc_supervisor_wait_ready(channel, 5000));
                answer(channel);
            });
        } else {
            setenv("DOR_SUPERVISOR_FD", env, 1);
        }
        EXPECT_EQ(ipc_send_ready_and_wait_for_run(bed.port), runs);
        EXPECT_EQ(bed.port.peer_count(), runs ? 2u : 1u);  // the channel joins the bed's client
        for (int i = 0; i < 200 && runs && stops == 0; ++i) {
            bed.port.run_once_for_timeout(10);
        }
        EXPECT_EQ(stops, runs ? 1 : 0);
        if (side.joinable()) {
            side.join();
        }
    }
    unsetenv("DOR_SUPERVISOR_FD");
    EXPECT_NE(fcntl(file, F_GETFD), -1);  // not ours to close
    close(file);
}

}  // namespace
