// dorctl: the administrator's and integrator's tool for a running dor_sa.

#include <signal.h>

#include <atomic>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "tools/common/options.h"
#include "tools/dorctl/cli.h"
#include "tools/dorctl/commands.h"

namespace {

std::atomic<bool> stop_requested{false};

void on_stop_signal(int) {
    stop_requested.store(true);
}

}  // namespace

int main(int argc, char** argv) {
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A reader that goes away (dorctl events | head) ends us through the
    // failed write, not a signal.
    signal(SIGPIPE, SIG_IGN);

    const std::vector<std::string> args(argv + 1, argv + argc);
    // A malformed line or --version is answered the way every tool answers it,
    // before any command is looked at.
    std::string error;
    const std::optional<dorctl::Invocation> inv = dorctl::parse_command_line(args, &error);
    if (!inv) {
        return cli::usage_exit("dorctl", dorctl::usage_text(), &error);
    }
    if (inv->version && !inv->help) {
        return cli::version_exit("dorctl");
    }
    return dorctl::run(args, std::cout, std::cerr, stop_requested);
}
