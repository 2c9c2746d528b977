#pragma once
// The measured run: every AP's requests, their outcomes and latencies.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "bench/load/load_options.h"

struct CpuWindow {
    double wall_s = 0;
    double run_s = 0;    // from schedstat
    uint64_t ticks = 0;  // from stat
    int windows = 0;
};

struct LoadResult {
    std::vector<double> latencies_ms;  // answered as expected
    std::map<std::string, uint64_t> failures;
    std::string first_failure;
    std::string sample_answer;  // the start of the first expected answer
    std::map<int, uint64_t> statuses;
    uint64_t body_bytes = 0;  // of the expected answers
    uint64_t tickets = 0;     // TLS session tickets received
    uint64_t connections = 0;
    double elapsed_s = 0;
    uint64_t prepared = 0;
    uint64_t prepare_failures = 0;
    std::optional<CpuWindow> cpu;
};

// Nothing when the TLS context, a certificate or the server address cannot be set up.
std::optional<LoadResult> run_load(const LoadOptions& opts, std::string* error);

// The HTTP request an AP sends.
std::string http_request(const std::string& method, const std::string& path,
                         const std::string& host, int port, const std::string& body);
