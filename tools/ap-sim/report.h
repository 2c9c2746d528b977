#pragma once
// What a run produced: one row per AP, latencies per request kind, and the
// table, summary and JSON made of them.

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/ap-sim/journey.h"

struct ApResult {
    std::string mac;
    std::string address;
    std::string device_type;
    std::string sw_version_start;
    std::string sw_version;
    Outcome outcome = Outcome::RUNNING;
    std::string detail;
    std::string password;
    int requests = 0;
    int upgrades = 0;
    int retries = 0;
    int limit_refusals = 0;
    int certificate_refusals = 0;
    int restarts = 0;  // journeys started over
    double seconds = 0;
};

struct RunStats {
    std::array<std::vector<double>, kRequestKinds> latency_ms;
    uint64_t requests = 0;
    double elapsed_s = 0;
    std::vector<double> admitted_s;  // when each admission came, from the start, in order
};

struct LatencySummary {
    size_t count = 0;
    double p50 = 0;
    double p90 = 0;
    double p99 = 0;
};

// Nearest rank: the smallest value with at least p percent of the values at or below it.
double percentile(std::vector<double> values, double p);
LatencySummary summarize(const std::vector<double>& values);

std::array<size_t, kOutcomes> count_outcomes(const std::vector<ApResult>& aps);

void print_table(FILE* out, const std::vector<ApResult>& aps);
void print_summary(FILE* out, const std::vector<ApResult>& aps, const RunStats& stats);
// One line per admission: seconds from the start, APs admitted so far.
void print_admissions(FILE* out, const RunStats& stats);
// {"aps": [...], "summary": {...}}
std::string json_report(const std::vector<ApResult>& aps, const RunStats& stats);
