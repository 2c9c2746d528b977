#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "libs/backtrace/backtrace.h"

namespace {

// Deep enough to run off any stack; the volatile buffer keeps each frame real.
int recurse(volatile char* previous, long depth) {
    volatile char frame[512];
    frame[0] = static_cast<char>(previous != nullptr ? previous[0] + 1 : 0);
    return depth == 0 ? frame[0] : recurse(frame, depth - 1) + frame[1];
}

void init_as(const char* name) {
    std::string path = std::string("/opt/dor/bin/") + (name != nullptr ? name : "");
    char* argv[] = {path.data(), nullptr};
    dor2kmt_backtrace_init(name != nullptr ? argv : nullptr);
}

TEST(Backtrace, ReportsAndDiesOfTheSignal) {
    // what, program name (null: argv itself is null, shown as "?"), signal, crash
    const std::vector<std::tuple<const char*, const char*, int, void (*)()>> cases = {
        {"abort", "crasher", SIGABRT, [] { abort(); }},
        {"raised, null argv", nullptr, SIGFPE, [] { raise(SIGFPE); }},
        {"stack overflow", "crasher", SIGSEGV, [] { recurse(nullptr, 1L << 40); }},
    };
    for (const auto& [what, name, signal, crash] : cases) {
        SCOPED_TRACE(what);
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        const pid_t pid = fork();
        if (pid == 0) {
            dup2(fds[1], STDERR_FILENO);
            rlimit no_core{0, 0};
            setrlimit(RLIMIT_CORE, &no_core);
            alarm(20);  // a hung child must not hang the test
            init_as("first");
            init_as(name);  // a second init only renames
            dor2kmt_backtrace_set_last_words([] {
                if (write(STDERR_FILENO, "last words\n", 11) < 0) {
                    _exit(3);
                }
            });
            crash();
            _exit(0);
        }
        close(fds[1]);
        std::string err;
        char buffer[4096];
        for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) {
            err.append(buffer, static_cast<size_t>(n));
        }
        close(fds[0]);
        int status = 0;
        waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << "status " << status;
        EXPECT_EQ(WTERMSIG(status), signal);
        const std::string cause =
            "fatal signal " + std::to_string(signal) + " (SIG" + sigabbrev_np(signal) + ")";
        // The process's last words come before the report.
        EXPECT_EQ(err.find(std::string("last words\n*** ") + (name ? name : "?") + " [pid "), 0u)
            << err;
        EXPECT_NE(err.find(cause), std::string::npos) << err;
        EXPECT_EQ(err.find("/opt/dor/bin"), std::string::npos) << err;
        EXPECT_EQ(err.find("first"), std::string::npos) << err;
        // At least one frame line between the head and the end marker.
        const size_t end = err.find("*** end of backtrace\n");
        ASSERT_NE(end, std::string::npos) << err;
        EXPECT_GT(end, err.find('\n') + 1);
    }
}

}  // namespace
