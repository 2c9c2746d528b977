// dor-supervisor: runs dor_sa outside a controller. It starts the service under
// its required name with the supervisor channel, answers the readiness
// exchange, turns SIGTERM and SIGINT into the controller's stop message and
// exits with the service's status.

#include <fcntl.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "libs/ipc/ipc_client.h"
#include "libs/ipc/messages.h"
#include "libs/ipc/supervisor.h"
#include "libs/trace/trace_format.h"

namespace {

constexpr const char* kProg = "dor-supervisor";
constexpr int kChildChannelFd = 3;

// Stamped like the service's own lines, which share the output.
__attribute__((format(printf, 1, 2))) void say(const char* fmt, ...) {
    char text[1024];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    std::fprintf(stderr, "%s %s: %s", trace_time_now().c_str(), kProg, text);
}

struct Options {
    std::string service_path;
    int ready_timeout_ms = 30000;
    bool quiet = false;
};

void usage(FILE* out) {
    std::fprintf(out,
                 "usage: %s [--service PATH] [--ready-timeout SECONDS] [--quiet]\n"
                 "\n"
                 "Starts dor_sa under its supervisor channel, waits until it reports ready,\n"
                 "then tells it to run. SIGTERM or SIGINT sends it the stop message; a second\n"
                 "one terminates it. Exits with the service's exit status.\n"
                 "\n"
                 "  --service PATH         the dor_sa binary (default: next to this program)\n"
                 "  --ready-timeout SECS   how long to wait for readiness (default 30)\n"
                 "  --quiet                no progress lines on standard error\n",
                 kProg);
}

std::string default_service_path() {
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return "dor_sa";
    self[n] = '\0';
    std::string dir(self);
    dir.erase(dir.find_last_of('/') + 1);
    // Built trees keep the service in app/, beside tools/.
    for (const char* candidate : {"dor_sa", "../app/dor_sa", "../../app/dor_sa"}) {
        std::string path = dir + candidate;
        if (access(path.c_str(), X_OK) == 0)
            return path;
    }
    return dir + "dor_sa";
}

bool parse_options(int argc, char** argv, Options& opts) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            usage(stdout);
            std::exit(0);
        } else if (arg == "--service" && i + 1 < argc) {
            opts.service_path = argv[++i];
        } else if (arg == "--ready-timeout" && i + 1 < argc) {
            char* end = nullptr;
            const long secs = std::strtol(argv[++i], &end, 10);
            if (*end != '\0' || secs <= 0 || secs > 3600)
                return false;
            opts.ready_timeout_ms = static_cast<int>(secs * 1000);
        } else if (arg == "--quiet" || arg == "-q") {
            opts.quiet = true;
        } else {
            return false;
        }
    }
    if (opts.service_path.empty())
        opts.service_path = default_service_path();
    return true;
}

int exit_status_of(int wait_status) {
    if (WIFEXITED(wait_status))
        return WEXITSTATUS(wait_status);
    if (WIFSIGNALED(wait_status))
        return 128 + WTERMSIG(wait_status);
    return 1;
}

[[noreturn]] void exec_service(const Options& opts, int channel) {
    if (dup2(channel, kChildChannelFd) < 0)
        _exit(127);
    setenv("DOR_SUPERVISOR", "1", 0);
    setenv("DOR_SUPERVISOR_FD", std::to_string(kChildChannelFd).c_str(), 1);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    char name[] = "dor_sa";
    char* child_argv[] = {name, nullptr};
    execv(opts.service_path.c_str(), child_argv);
    say("cannot run %s: %s\n", opts.service_path.c_str(), std::strerror(errno));
    _exit(127);
}

}  // namespace

int main(int argc, char** argv) {
    Options opts;
    if (!parse_options(argc, argv, opts)) {
        usage(stderr);
        return 2;
    }
    if (access(opts.service_path.c_str(), X_OK) != 0) {
        say("%s: %s\n", opts.service_path.c_str(), std::strerror(errno));
        return 1;
    }

    // Signals are read from a signalfd so that none is lost between polls.
    sigset_t handled;
    sigemptyset(&handled);
    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGCHLD})
        sigaddset(&handled, sig);
    sigprocmask(SIG_BLOCK, &handled, nullptr);
    const int sig_fd = signalfd(-1, &handled, SFD_CLOEXEC);
    if (sig_fd < 0) {
        say("signalfd: %s\n", std::strerror(errno));
        return 1;
    }

    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        say("socketpair: %s\n", std::strerror(errno));
        return 1;
    }
    const pid_t child = fork();
    if (child < 0) {
        say("fork: %s\n", std::strerror(errno));
        return 1;
    }
    if (child == 0) {
        close(pair[0]);
        exec_service(opts, pair[1]);
    }
    close(pair[1]);

    IpcClient channel;
    channel.adopt_fd(pair[0]);
    bool running = ipc_supervisor_wait_ready(channel, opts.ready_timeout_ms);
    if (running)
        running = ipc_supervisor_send_run(channel);
    if (running && !opts.quiet)
        say("dor_sa ready (pid %d)\n", child);
    if (!running) {
        int status = 0;
        if (waitpid(child, &status, WNOHANG) == child) {
            say("dor_sa exited before it was ready (status %d)\n", exit_status_of(status));
            return exit_status_of(status);
        }
        say("dor_sa did not report ready; terminating it\n");
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        return 1;
    }

    bool stop_sent = false;
    for (;;) {
        pollfd fds[2] = {{sig_fd, POLLIN, 0}, {channel.fd(), POLLIN, 0}};
        const int nfds = channel.connected() ? 2 : 1;
        if (poll(fds, nfds, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        // The service sends nothing we need; reading keeps the channel drained.
        if (nfds == 2 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            channel.receive(0);
        }
        if ((fds[0].revents & POLLIN) == 0)
            continue;
        signalfd_siginfo info{};
        if (read(sig_fd, &info, sizeof info) != static_cast<ssize_t>(sizeof info))
            continue;
        const int sig = static_cast<int>(info.ssi_signo);
        if (sig == SIGCHLD) {
            int status = 0;
            if (waitpid(child, &status, WNOHANG) == child) {
                const int code = exit_status_of(status);
                if (!opts.quiet)
                    say("dor_sa exited with status %d\n", code);
                return code;
            }
        } else if (sig == SIGHUP) {
            kill(child, SIGHUP);
        } else if (!stop_sent && channel.connected() && channel.send(IPC_MSG__STOP{}) == IPC_OK) {
            stop_sent = true;
            if (!opts.quiet)
                say("stop requested\n");
        } else {
            kill(child, SIGTERM);
        }
    }
    int status = 0;
    waitpid(child, &status, 0);
    return exit_status_of(status);
}
