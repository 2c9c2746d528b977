#include "bench/load/latency_stats.h"

#include <algorithm>
#include <cmath>
#include <numeric>

double nearest_rank(const std::vector<double>& sorted, double p) {
    if (sorted.empty()) {
        return 0;
    }
    const double rank = std::ceil(p / 100.0 * static_cast<double>(sorted.size()));
    const size_t index = rank < 1 ? 0 : static_cast<size_t>(rank) - 1;
    return sorted[std::min(index, sorted.size() - 1)];
}

LatencySummary summarize(std::vector<double> samples_ms) {
    LatencySummary summary;
    if (samples_ms.empty()) {
        return summary;
    }
    std::sort(samples_ms.begin(), samples_ms.end());
    summary.count = samples_ms.size();
    summary.mean_ms = std::accumulate(samples_ms.begin(), samples_ms.end(), 0.0) /
                      static_cast<double>(samples_ms.size());
    summary.p50_ms = nearest_rank(samples_ms, 50);
    summary.p90_ms = nearest_rank(samples_ms, 90);
    summary.p99_ms = nearest_rank(samples_ms, 99);
    summary.max_ms = samples_ms.back();
    return summary;
}
