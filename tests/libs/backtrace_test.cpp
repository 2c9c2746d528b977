#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "libs/backtrace/backtrace.h"

namespace {

// Deep enough to run off any stack; the volatile buffer keeps each frame real.
int recurse(volatile char* previous, long depth) {
    volatile char frame[512];
    frame[0] = static_cast<char>(previous != nullptr ? previous[0] + 1 : 0);
    if (depth == 0) {
        return frame[0];
    }
    return recurse(frame, depth - 1) + frame[1];
}

struct Crash {
    int status = 0;
    std::string err;
};

// Runs `body` in a child whose standard error is captured.
Crash run_child(const std::function<void()>& body) {
    int fds[2];
    if (pipe(fds) != 0) {
        ADD_FAILURE() << "pipe";
        return {};
    }
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        dup2(fds[1], STDERR_FILENO);
        rlimit no_core{0, 0};
        setrlimit(RLIMIT_CORE, &no_core);
        alarm(20);  // a hung child must not hang the test
        body();
        _exit(0);
    }
    close(fds[1]);
    Crash crash;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fds[0], buffer, sizeof buffer)) > 0) {
        crash.err.append(buffer, static_cast<size_t>(n));
    }
    close(fds[0]);
    waitpid(pid, &crash.status, 0);
    return crash;
}

void init_as(const char* name) {
    std::string path = std::string("/opt/dor/bin/") + name;
    char* argv[] = {path.data(), nullptr};
    dor2kmt_backtrace_init(argv);
}

TEST(Backtrace, ReportsAndDiesOfTheSignal) {
    struct Case {
        const char* what;
        int signal;
        const char* signal_name;
        std::function<void()> crash;
    };
    const std::vector<Case> cases = {
        {"raised SIGSEGV", SIGSEGV, "SIGSEGV", [] { raise(SIGSEGV); }},
        {"abort", SIGABRT, "SIGABRT", [] { abort(); }},
        {"raised SIGBUS", SIGBUS, "SIGBUS", [] { raise(SIGBUS); }},
        {"raised SIGFPE", SIGFPE, "SIGFPE", [] { raise(SIGFPE); }},
        {"write to a read-only page", SIGSEGV, "SIGSEGV",
         [] {
             void* page = mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
             *static_cast<volatile char*>(page) = 1;
         }},
        {"stack overflow", SIGSEGV, "SIGSEGV", [] { recurse(nullptr, 1L << 40); }},
    };
    for (const Case& c : cases) {
        const Crash crash = run_child([&] {
            init_as("crasher");
            c.crash();
        });
        ASSERT_TRUE(WIFSIGNALED(crash.status)) << c.what << ": status " << crash.status;
        EXPECT_EQ(WTERMSIG(crash.status), c.signal) << c.what;
        const std::string head = std::string("*** crasher [pid ");
        EXPECT_EQ(crash.err.find(head), 0u) << c.what << ":\n" << crash.err;
        EXPECT_NE(
            crash.err.find("fatal signal " + std::to_string(c.signal) + " (" + c.signal_name + ")"),
            std::string::npos)
            << c.what << ":\n"
            << crash.err;
        EXPECT_EQ(crash.err.find("/opt/dor/bin"), std::string::npos) << c.what;
        // At least one frame line between the head and the end marker.
        const size_t first_newline = crash.err.find('\n');
        const size_t end = crash.err.find("*** end of backtrace\n");
        ASSERT_NE(end, std::string::npos) << c.what << ":\n" << crash.err;
        EXPECT_GT(end, first_newline + 1) << c.what;
    }
}

TEST(Backtrace, SecondInitOnlyRenames) {
    const Crash crash = run_child([] {
        init_as("first");
        init_as("second");
        raise(SIGSEGV);
    });
    ASSERT_TRUE(WIFSIGNALED(crash.status));
    EXPECT_EQ(WTERMSIG(crash.status), SIGSEGV);
    EXPECT_EQ(crash.err.find("*** second [pid "), 0u) << crash.err;
    EXPECT_EQ(crash.err.find("first"), std::string::npos) << crash.err;
}

TEST(Backtrace, NullArgvIsAccepted) {
    const Crash crash = run_child([] {
        dor2kmt_backtrace_init(nullptr);
        raise(SIGFPE);
    });
    ASSERT_TRUE(WIFSIGNALED(crash.status));
    EXPECT_EQ(WTERMSIG(crash.status), SIGFPE);
    EXPECT_NE(crash.err.find("fatal signal"), std::string::npos) << crash.err;
}

}  // namespace
