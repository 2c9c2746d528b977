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
#include <vector>

#ifdef DOR_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

#include "libs/ipc/ipc_client.h"
#include "libs/ipc/messages.h"
#include "libs/ipc/supervisor.h"
#include "libs/trace/trace_format.h"
#include "tools/common/options.h"

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
// How long dor_sa may take to report ready: its start-up reads a few small
// files and makes one key, so 30 s means it is stuck; an hour at most, for a
// service started under a debugger.
constexpr int kDefaultReadySeconds = 30;
constexpr int kMaxReadySeconds = 3600;

struct Options {
    std::string service_path;
    int ready_timeout_s = kDefaultReadySeconds;
    bool quiet = false;
};

cli::CommandLine command_line(Options& opts) {
    return {
        "usage: dor-supervisor [--service PATH] [--ready-timeout SECONDS] [--quiet]\n"
        "\n"
        "Starts dor_sa under its supervisor channel, waits until it reports ready,\n"
        "then tells it to run (and systemd, when started as a notify service).\n"
        "SIGTERM or SIGINT sends it the stop message; a second one terminates it.\n"
        "SIGHUP is passed on. Exits with the service's exit status.\n",
        {{"",
          25,
          {{"--service", "PATH",
            "the dor_sa binary (default: the installed one,\n" DOR_SERVICE_RELATIVE_PATH
            " from this\nprogram, else next to it, else " DOR_SERVICE_INSTALLED_PATH ")",
            cli::text(opts.service_path)},
           {"--ready-timeout", "SECS",
            "how long to wait for readiness (default " + std::to_string(kDefaultReadySeconds) + ")",
            cli::number(1, kMaxReadySeconds, opts.ready_timeout_s)},
           {"-q", "", "", cli::flag(opts.quiet)},
           {"--quiet", "", "no progress lines on standard error", cli::flag(opts.quiet)},
           {"-h, --help", "", "this text", {}},
           {"--version", "", "the version", {}}}}},
        "Exit status: the service's; 1 when it cannot be started or does not report\n"
        "ready; 2 on a usage error.\n",
    };
}

std::string default_service_path() {
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return "dor_sa";
    self[n] = '\0';
    std::string dir(self);
    dir.erase(dir.find_last_of('/') + 1);
    // Installed trees keep the service under libexec, built ones in app/; a
    // supervisor copied elsewhere falls back to the installed service.
    for (const char* candidate :
         {DOR_SERVICE_RELATIVE_PATH, "dor_sa", "../app/dor_sa", "../../app/dor_sa"}) {
        std::string path = dir + candidate;
        if (access(path.c_str(), X_OK) == 0)
            return path;
    }
    return DOR_SERVICE_INSTALLED_PATH;
}

// Tells systemd about the service when it started us with Type=notify; a
// no-op everywhere else.
void notify_systemd([[maybe_unused]] const char* state) {
#ifdef DOR_HAVE_SYSTEMD
    sd_notify(0, state);
#endif
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
    // Only the supervisor speaks to systemd.
    unsetenv("NOTIFY_SOCKET");
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
    cli::Request request;
    std::string error;
    const cli::CommandLine line = command_line(opts);
    if (!cli::parse(line, std::vector<std::string>(argv + 1, argv + argc), &request, &error)) {
        return cli::usage_exit(kProg, cli::usage_text(line), &error);
    }
    if (request.help) {
        return cli::usage_exit(kProg, cli::usage_text(line), nullptr);
    }
    if (request.version) {
        return cli::version_exit(kProg);
    }
    if (opts.service_path.empty())
        opts.service_path = default_service_path();
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
    bool running = ipc_supervisor_wait_ready(channel, opts.ready_timeout_s * 1000);
    if (running)
        running = ipc_supervisor_send_run(channel);
    if (running) {
        notify_systemd("READY=1");
        if (!opts.quiet)
            say("dor_sa ready (pid %d)\n", child);
    }
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
            notify_systemd("STOPPING=1");
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
