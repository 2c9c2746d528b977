// dor-ap-sim: many simulated access points against a running dor_sa; also the
// load generator of the benchmarks.

#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/ap-sim/options.h"
#include "tools/common/options.h"

namespace {

constexpr int kExitFailure = 1;

std::atomic<bool> g_stop{false};

void on_signal(int) {
    g_stop = true;
}

bool ended_well(const ApResult& ap, bool load) {
    return ap.outcome == Outcome::ADMITTED || ap.outcome == Outcome::REFUSED ||
           ap.outcome == Outcome::TLS_REFUSED || (load && ap.outcome == Outcome::STOPPED);
}

}  // namespace

int main(int argc, char** argv) {
    std::string error;
    auto opts = parse_ap_sim_options(std::vector<std::string>(argv + 1, argv + argc), &error);
    if (opts && opts->version) {
        return cli::version_exit("dor-ap-sim");
    }
    if (!opts || opts->help) {
        return cli::usage_exit("dor-ap-sim", ap_sim_usage_text(), opts ? nullptr : &error);
    }
    FILE* out = stdout;
    if (!opts->out.empty()) {
        out = std::fopen(opts->out.c_str(), "we");
        if (out == nullptr) {
            std::perror(("dor-ap-sim: " + opts->out).c_str());
            return kExitFailure;
        }
    }
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    opts->run.progress = !opts->quiet && isatty(STDERR_FILENO) == 1;
    const RunOutput result = run_aps(opts->run, g_stop);
    if (opts->json) {
        std::fputs(json_report(result.aps, result.stats).c_str(), out);
    } else {
        if (opts->table) {
            print_table(out, result.aps);
            std::fputc('\n', out);
        }
        print_summary(out, result.aps, result.stats);
    }
    if (out != stdout) {
        std::fclose(out);
    }
    const bool load = opts->run.journey.load != LoadKind::NONE;
    for (const ApResult& ap : result.aps) {
        if (!ended_well(ap, load)) {
            return kExitFailure;
        }
    }
    return 0;
}
