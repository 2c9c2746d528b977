// dor-controller-sim: the controller's other processes, simulated, for demos and tests.

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "libs/trace/trace_format.h"
#include "tools/common/options.h"
#include "tools/controller-sim/controller_sim.h"

namespace {

constexpr int kExitError = 1;

// Owns the descriptor that turns SIGINT, SIGTERM and SIGHUP into reads.
class SignalFd {
  public:
    SignalFd() {
        sigset_t set;
        sigemptyset(&set);
        for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
            sigaddset(&set, sig);
        }
        sigprocmask(SIG_BLOCK, &set, nullptr);
        fd_ = signalfd(-1, &set, SFD_CLOEXEC);
    }
    ~SignalFd() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    SignalFd(const SignalFd&) = delete;
    SignalFd& operator=(const SignalFd&) = delete;
    int fd() const { return fd_; }

  private:
    int fd_ = -1;
};

int fail(const std::string& text) {
    std::fprintf(stderr, "%s dor-controller-sim: %s\n", trace_time_now().c_str(), text.c_str());
    return kExitError;
}

}  // namespace

int main(int argc, char** argv) {
    std::string error;
    const auto opts = parse_sim_options(std::vector<std::string>(argv + 1, argv + argc), &error);
    if (opts && opts->version) {
        return cli::version_exit("dor-controller-sim");
    }
    if (!opts || opts->help) {
        return cli::usage_exit("dor-controller-sim", sim_usage_text(), opts ? nullptr : &error);
    }
    auto policy = opts->policy_file.empty() ? std::optional<Policy>(Policy())
                                            : Policy::load(opts->policy_file, &error);
    if (!policy) {
        return fail("bad policy: " + error);
    }
    auto ca = CertAuthority::load(opts->ca_cert, opts->ca_key, &error);
    if (!ca) {
        return fail(error);
    }
    EventLog events(opts->events_file);
    if (!events.ok()) {
        return fail("cannot open " + opts->events_file);
    }
    SignalFd signals;
    if (signals.fd() < 0) {
        return fail("cannot watch signals");
    }
    ControllerSim sim(*opts, std::move(*policy), std::move(*ca), events);
    if (!sim.connect(&error)) {
        return fail(error);
    }
    sim.configure();
    return sim.serve(signals.fd());
}
