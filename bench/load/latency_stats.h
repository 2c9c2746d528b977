#pragma once
// Percentiles of request latencies, by the nearest-rank rule.

#include <cstddef>
#include <vector>

struct LatencySummary {
    size_t count = 0;
    double mean_ms = 0;
    double p50_ms = 0;
    double p90_ms = 0;
    double p99_ms = 0;
    double max_ms = 0;
};

// The smallest sample with at least p percent of the samples at or below it;
// 0 for no samples. `sorted` is in ascending order.
double nearest_rank(const std::vector<double>& sorted, double p);

LatencySummary summarize(std::vector<double> samples_ms);
