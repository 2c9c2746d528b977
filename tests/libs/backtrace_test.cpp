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
    return depth == 0 ? frame[0] : recurse(frame, depth - 1) + frame[1];
}

void init_as(const char* name) {
    std::string path = std::string("/opt/dor/bin/") + name;
    char* argv[] = {path.data(), nullptr};
    dor2kmt_backtrace_init(argv);
}

// Runs `body` in a child with standard error captured; returns the wait status.
int run_child(const std::function<void()>& body, std::string& err) {
    int fds[2];
    if (pipe(fds) != 0) {
        return -1;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], STDERR_FILENO);
        rlimit no_core{0, 0};
        setrlimit(RLIMIT_CORE, &no_core);
        alarm(20);  // a hung child must not hang the test
        body();
        _exit(0);
    }
    close(fds[1]);
    char buffer[4096];
    for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) {
        err.append(buffer, static_cast<size_t>(n));
    }
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

TEST(Backtrace, ReportsAndDiesOfTheSignal) {
    struct Case {
        const char* what;
        std::function<void()> init;
        const char* name;
        int signal;
        const char* signal_name;
        std::function<void()> crash;
    };
    const auto crasher = [] { init_as("crasher"); };
    const std::vector<Case> cases = {
        {"raised SIGSEGV", crasher, "crasher", SIGSEGV, "SIGSEGV", [] { raise(SIGSEGV); }},
        {"abort", crasher, "crasher", SIGABRT, "SIGABRT", [] { abort(); }},
        {"raised SIGBUS", crasher, "crasher", SIGBUS, "SIGBUS", [] { raise(SIGBUS); }},
        {"raised SIGFPE", crasher, "crasher", SIGFPE, "SIGFPE", [] { raise(SIGFPE); }},
        {"write to a read-only page", crasher, "crasher", SIGSEGV, "SIGSEGV",
         [] {
             void* page = mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
             *static_cast<volatile char*>(page) = 1;
         }},
        {"stack overflow", crasher, "crasher", SIGSEGV, "SIGSEGV",
         [] { recurse(nullptr, 1L << 40); }},
        {"second init renames",
         [] {
             init_as("first");
             init_as("second");
         },
         "second", SIGSEGV, "SIGSEGV", [] { raise(SIGSEGV); }},
        {"null argv", [] { dor2kmt_backtrace_init(nullptr); }, "?", SIGFPE, "SIGFPE",
         [] { raise(SIGFPE); }},
    };
    for (const Case& c : cases) {
        std::string err;
        const int status = run_child(
            [&] {
                c.init();
                c.crash();
            },
            err);
        ASSERT_TRUE(WIFSIGNALED(status)) << c.what << ": status " << status;
        EXPECT_EQ(WTERMSIG(status), c.signal) << c.what;
        const std::string head = std::string("*** ") + c.name + " [pid ";
        const std::string cause =
            "fatal signal " + std::to_string(c.signal) + " (" + c.signal_name + ")";
        EXPECT_EQ(err.find(head), 0u) << c.what << ":\n" << err;
        EXPECT_NE(err.find(cause), std::string::npos) << c.what << ":\n" << err;
        EXPECT_EQ(err.find("/opt/dor/bin"), std::string::npos) << c.what;
        EXPECT_EQ(err.find("first"), std::string::npos) << c.what;
        // At least one frame line between the head and the end marker.
        const size_t end = err.find("*** end of backtrace\n");
        ASSERT_NE(end, std::string::npos) << c.what << ":\n" << err;
        EXPECT_GT(end, err.find('\n') + 1) << c.what;
    }
}

}  // namespace
