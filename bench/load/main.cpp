// dor-tls-load: the benchmarks' load client (usage in load_options.cpp).

#include <jansson.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "bench/load/latency_stats.h"
#include "bench/load/load_run.h"
#include "tools/common/json.h"
#include "tools/common/options.h"

namespace {

JsonPtr summary_json(const LoadOptions& opts, const LoadResult& result) {
    const LatencySummary latency = summarize(result.latencies_ms);
    // Rates over the time to the last expected answer; none without one.
    const auto per_second = [&result](double amount) {
        return result.elapsed_s > 0 ? amount / result.elapsed_s : 0.0;
    };
    const double ok = static_cast<double>(latency.count);
    JsonPtr failures(json_object());
    json_int_t failed = 0;
    for (const auto& [name, count] : result.failures) {
        failed += static_cast<json_int_t>(count);
        json_object_set_new(failures.get(), name.c_str(),
                            json_integer(static_cast<json_int_t>(count)));
    }
    JsonPtr statuses(json_object());
    for (const auto& [status, count] : result.statuses) {
        json_object_set_new(statuses.get(), std::to_string(status).c_str(),
                            json_integer(static_cast<json_int_t>(count)));
    }
    JsonPtr summary(json_pack(
        "{s:s, s:s, s:i, s:s, s:I, s:I, s:o, s:s, s:o, s:f, s:f, s:{s:f, s:f, s:f, s:f, s:f}, s:I, "
        "s:f, s:f, s:I, s:I}",
        "label", opts.label.c_str(), "path", opts.path.c_str(), "clients", opts.clients, "mode",
        opts.rounds > 0 ? "rounds" : "duration", "ok", static_cast<json_int_t>(latency.count),
        "failed", failed, "failures", failures.release(), "first_failure",
        result.first_failure.c_str(), "statuses", statuses.release(), "elapsed_s", result.elapsed_s,
        "requests_per_s", per_second(ok), "latency_ms", "mean", latency.mean_ms, "p50",
        latency.p50_ms, "p90", latency.p90_ms, "p99", latency.p99_ms, "max", latency.max_ms,
        "body_bytes", static_cast<json_int_t>(result.body_bytes), "mib_per_s",
        per_second(static_cast<double>(result.body_bytes)) / (1024.0 * 1024.0),
        "tickets_per_connection",
        result.connections > 0
            ? static_cast<double>(result.tickets) / static_cast<double>(result.connections)
            : 0.0,
        "prepared", static_cast<json_int_t>(result.prepared), "prepare_failures",
        static_cast<json_int_t>(result.prepare_failures)));
    if (summary) {
        json_object_set_new(summary.get(), "sample_answer",
                            json_string(result.sample_answer.c_str()));
    }
    if (summary && result.cpu) {
        const CpuWindow& cpu = *result.cpu;
        const double tick_s = static_cast<double>(sysconf(_SC_CLK_TCK));
        json_object_set_new(
            summary.get(), "cpu",
            json_pack("{s:i, s:f, s:f, s:f, s:I, s:f}", "windows", cpu.windows, "wall_s",
                      cpu.wall_s, "run_s", cpu.run_s, "percent",
                      cpu.wall_s > 0 ? 100.0 * cpu.run_s / cpu.wall_s : 0.0, "ticks",
                      static_cast<json_int_t>(cpu.ticks), "tick_percent",
                      cpu.wall_s > 0 ? 100.0 * static_cast<double>(cpu.ticks) / tick_s / cpu.wall_s
                                     : 0.0));
    }
    return summary;
}

bool write_latencies(const std::string& path, const std::vector<double>& latencies) {
    std::ofstream out(path);
    for (double ms : latencies) {
        out << ms << '\n';
    }
    return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
    std::string error;
    const auto opts = parse_load_options({argv + 1, argv + argc}, &error);
    if (!opts || opts->help) {
        return cli::usage_exit("dor-tls-load", load_usage_text(), opts ? nullptr : &error);
    }
    const auto result = run_load(*opts, &error);
    if (!result) {
        std::fprintf(stderr, "dor-tls-load: %s\n", error.c_str());
        return 1;
    }
    if (!opts->latencies_out.empty() &&
        !write_latencies(opts->latencies_out, result->latencies_ms)) {
        std::fprintf(stderr, "dor-tls-load: cannot write %s\n", opts->latencies_out.c_str());
        return 1;
    }
    const JsonPtr summary = summary_json(*opts, *result);
    const size_t flags = JSON_INDENT(2) | JSON_PRESERVE_ORDER;
    const int written = opts->summary_out.empty()
                            ? json_dumpf(summary.get(), stdout, flags)
                            : json_dump_file(summary.get(), opts->summary_out.c_str(), flags);
    if (!summary || written != 0) {
        std::fprintf(stderr, "dor-tls-load: cannot write the summary\n");
        return 1;
    }
    if (opts->summary_out.empty()) {
        std::fputc('\n', stdout);
    }
    if (!result->first_failure.empty()) {
        std::fprintf(stderr, "dor-tls-load %s: first failure: %s\n", opts->label.c_str(),
                     result->first_failure.c_str());
    }
    const bool clean =
        result->failures.empty() && result->prepare_failures == 0 && !result->latencies_ms.empty();
    return clean ? 0 : 1;
}
