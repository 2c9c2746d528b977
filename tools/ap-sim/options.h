#pragma once
// Command line of dor-ap-sim.

#include <optional>
#include <string>
#include <vector>

#include "tools/ap-sim/runner.h"

struct ApSimOptions {
    RunConfig run;
    bool json = false;
    bool table = true;
    bool quiet = false;  // no progress line
    std::string out;     // empty: standard output
    bool help = false;
    bool version = false;
};

// Builds the AP list as well (from --mix, --plan or --count); null with `error`.
std::optional<ApSimOptions> parse_ap_sim_options(const std::vector<std::string>& args,
                                                 std::string* error);

std::string ap_sim_usage_text();
