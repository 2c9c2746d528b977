// dorctl: the administrator's and integrator's tool for a running dor_sa.

#include <signal.h>

#include <atomic>
#include <iostream>
#include <string>
#include <vector>

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
    return dorctl::run(args, std::cout, std::cerr, stop_requested);
}
