#pragma once
// Runs every AP's journey at once over one HttpPool, at most `concurrency`
// requests in flight, each AP waiting its turn on a due-time queue.

#include <atomic>
#include <string>
#include <vector>

#include "tools/ap-sim/journey.h"
#include "tools/ap-sim/plan.h"
#include "tools/ap-sim/report.h"

struct RunConfig {
    std::vector<ApPlan> aps;
    JourneyConfig journey;
    std::string host = "127.0.0.1";
    int free_port = 8043;
    int auth_port = 8044;
    std::string server_ca;  // verifies the authorized endpoint when set
    std::string server_name = "localhost";
    std::string delivery_dir;
    int concurrency = 64;
    int at_once = 0;     // APs in their journey at a time, the next entering as one ends; 0: all
    int timeout_s = 60;  // the whole run
    int request_timeout_s = 20;   // one request
    int load_duration_s = 0;      // load mode: stop repeating after this long
    bool progress = false;        // a progress line on standard error
    std::string admissions_file;  // when set: the admissions over time (print_admissions)
};

struct RunOutput {
    std::vector<ApResult> aps;
    RunStats stats;
};

// `stop` ends the run early (SIGINT); unfinished APs are then "stopped".
RunOutput run_aps(const RunConfig& config, const std::atomic<bool>& stop);
