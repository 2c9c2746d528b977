#include "tools/ap-sim/report.h"

#include <algorithm>
#include <cmath>

#include "tools/common/json.h"

double percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const double rank = std::ceil(p / 100.0 * static_cast<double>(values.size()));
    const size_t index = rank < 1 ? 0 : static_cast<size_t>(rank) - 1;
    return values[std::min(index, values.size() - 1)];
}

LatencySummary summarize(const std::vector<double>& values) {
    return {values.size(), percentile(values, 50), percentile(values, 90), percentile(values, 99)};
}

std::array<size_t, kOutcomes> count_outcomes(const std::vector<ApResult>& aps) {
    std::array<size_t, kOutcomes> counts{};
    for (const ApResult& ap : aps) {
        ++counts[static_cast<size_t>(ap.outcome)];
    }
    return counts;
}

void print_table(FILE* out, const std::vector<ApResult>& aps) {
    std::fprintf(out, "%-17s  %-15s  %-12s  %-24s  %-15s  %4s  %3s  %3s  %7s  %s\n", "MAC",
                 "ADDRESS", "DEVICE", "SOFTWARE", "OUTCOME", "REQS", "UPG", "RTY", "SECONDS",
                 "DETAIL");
    for (const ApResult& ap : aps) {
        const std::string software = ap.sw_version == ap.sw_version_start
                                         ? ap.sw_version
                                         : ap.sw_version_start + " -> " + ap.sw_version;
        std::fprintf(out, "%-17s  %-15s  %-12s  %-24s  %-15s  %4d  %3d  %3d  %7.2f  %s\n",
                     ap.mac.c_str(), ap.address.c_str(), ap.device_type.c_str(), software.c_str(),
                     outcome_name(ap.outcome), ap.requests, ap.upgrades, ap.retries, ap.seconds,
                     ap.detail.c_str());
    }
}

namespace {

struct Refusals {
    json_int_t limit = 0;
    json_int_t certificate = 0;
    json_int_t restarts = 0;
};

Refusals count_refusals(const std::vector<ApResult>& aps) {
    Refusals total;
    for (const ApResult& ap : aps) {
        total.limit += ap.limit_refusals;
        total.certificate += ap.certificate_refusals;
        total.restarts += ap.restarts;
    }
    return total;
}

}  // namespace

void print_admissions(FILE* out, const RunStats& stats) {
    for (size_t i = 0; i < stats.admitted_s.size(); ++i) {
        std::fprintf(out, "%.3f %zu\n", stats.admitted_s[i], i + 1);
    }
}

void print_summary(FILE* out, const std::vector<ApResult>& aps, const RunStats& stats) {
    std::fprintf(out, "%zu APs in %.2f s:", aps.size(), stats.elapsed_s);
    const auto counts = count_outcomes(aps);
    const char* separator = " ";
    for (int i = 0; i < kOutcomes; ++i) {
        if (counts[static_cast<size_t>(i)] != 0) {
            std::fprintf(out, "%s%zu %s", separator, counts[static_cast<size_t>(i)],
                         outcome_name(static_cast<Outcome>(i)));
            separator = ", ";
        }
    }
    const double rate =
        stats.elapsed_s > 0 ? static_cast<double>(stats.requests) / stats.elapsed_s : 0;
    std::fprintf(out, "\nrequests: %llu (%.1f/s)\n",
                 static_cast<unsigned long long>(stats.requests), rate);
    const Refusals refusals = count_refusals(aps);
    std::fprintf(out, "refused: %lld at a limit, %lld certificates; %lld journeys started over\n",
                 static_cast<long long>(refusals.limit),
                 static_cast<long long>(refusals.certificate),
                 static_cast<long long>(refusals.restarts));
    std::fprintf(out, "%-14s %7s %9s %9s %9s\n", "latency ms", "count", "p50", "p90", "p99");
    for (int i = 0; i < kRequestKinds; ++i) {
        const LatencySummary s = summarize(stats.latency_ms[static_cast<size_t>(i)]);
        if (s.count != 0) {
            std::fprintf(out, "%-14s %7zu %9.1f %9.1f %9.1f\n",
                         kind_name(static_cast<RequestKind>(i)), s.count, s.p50, s.p90, s.p99);
        }
    }
}

std::string json_report(const std::vector<ApResult>& aps, const RunStats& stats) {
    JsonPtr root(json_object());
    json_t* rows = json_array();
    json_object_set_new(root.get(), "aps", rows);
    for (const ApResult& ap : aps) {
        json_array_append_new(
            rows,
            json_pack("{s:s, s:s, s:s, s:s, s:s, s:s, s:s, s:s, s:i, s:i, s:i, s:i, s:i, s:i, "
                      "s:f}",
                      "mac", ap.mac.c_str(), "address", ap.address.c_str(), "device-type",
                      ap.device_type.c_str(), "sw-version-start", ap.sw_version_start.c_str(),
                      "sw-version", ap.sw_version.c_str(), "outcome", outcome_name(ap.outcome),
                      "detail", ap.detail.c_str(), "password", ap.password.c_str(), "requests",
                      ap.requests, "upgrades", ap.upgrades, "retries", ap.retries, "limit-refusals",
                      ap.limit_refusals, "certificate-refusals", ap.certificate_refusals,
                      "restarts", ap.restarts, "seconds", ap.seconds));
    }
    json_t* summary = json_object();
    json_object_set_new(root.get(), "summary", summary);
    json_object_set_new(summary, "count", json_integer(static_cast<json_int_t>(aps.size())));
    json_t* outcomes = json_object();
    const auto counts = count_outcomes(aps);
    for (int i = 0; i < kOutcomes; ++i) {
        json_object_set_new(outcomes, outcome_name(static_cast<Outcome>(i)),
                            json_integer(static_cast<json_int_t>(counts[static_cast<size_t>(i)])));
    }
    json_object_set_new(summary, "outcomes", outcomes);
    json_object_set_new(summary, "requests", json_integer(static_cast<json_int_t>(stats.requests)));
    json_object_set_new(summary, "elapsed-seconds", json_real(stats.elapsed_s));
    const Refusals refusals = count_refusals(aps);
    json_object_set_new(summary, "limit-refusals", json_integer(refusals.limit));
    json_object_set_new(summary, "certificate-refusals", json_integer(refusals.certificate));
    json_object_set_new(summary, "restarts", json_integer(refusals.restarts));
    json_object_set_new(summary, "last-admission-seconds",
                        json_real(stats.admitted_s.empty() ? 0 : stats.admitted_s.back()));
    json_object_set_new(
        summary, "requests-per-second",
        json_real(stats.elapsed_s > 0 ? static_cast<double>(stats.requests) / stats.elapsed_s : 0));
    json_t* latency = json_object();
    for (int i = 0; i < kRequestKinds; ++i) {
        const LatencySummary s = summarize(stats.latency_ms[static_cast<size_t>(i)]);
        json_object_set_new(
            latency, kind_name(static_cast<RequestKind>(i)),
            json_pack("{s:I, s:f, s:f, s:f}", "count", static_cast<json_int_t>(s.count), "p50",
                      s.p50, "p90", s.p90, "p99", s.p99));
    }
    json_object_set_new(summary, "latency-ms", latency);
    JsonText text(json_dumps(root.get(), JSON_INDENT(2) | JSON_PRESERVE_ORDER));
    return text ? std::string(text.get()) + "\n" : "{}\n";
}
