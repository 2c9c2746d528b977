// The cost of one trace line on the request path: formatting, escaping and
// the held copy (the service writes held lines once per loop turn).

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <memory>

#include "libs/trace/trace.h"
#include "libs/trace/trace_config.h"

namespace {

const MacAddr kMac = MacAddr::from_str("02:b0:00:00:00:2a");

// Lines as the authorized endpoint writes them for one admitted AP.
void request_lines(const Trace& trace) {
    trace.ap_lib("SSL client certificate verified ok\n");
    trace.sys_mac(kMac, "Certificate OK");
    trace.events_mac(kMac, "accept AP with valid certificate");
    trace.ap("AUTH: POST %s from %s", "/ready/ap", "127.0.2.42");
    trace.core_mac(kMac, "TRACK AP: Add to tracking [%s]", "127.0.2.42");
    trace.ap_limited(
        "Request body from %s: %s", "127.0.2.42",
        R"({"device-type":"dor-ap110","sw-version":"2.1.0","mac":"02:b0:00:00:00:2a"})");
    trace.ap_unsecure("Send answer %d to AP %s: %r", 200, "127.0.2.42", R"({"code":4027})");
    trace.core("Remove AP (%s)", "127.0.2.42");
}

void BM_TraceRequestLines(benchmark::State& state) {
    Trace::global_init("trace_bench");
    Trace trace("SA");
    trace.hold_lines(true);
    const int null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    // Lines go to /dev/null through the held buffer, as in the service.
    ::dup2(null_fd, STDERR_FILENO);
    ::close(null_fd);
    for (auto _ : state) {
        request_lines(trace);
        trace.flush_held();
    }
    state.SetItemsProcessed(state.iterations() * 8);
}
BENCHMARK(BM_TraceRequestLines);

}  // namespace

BENCHMARK_MAIN();
