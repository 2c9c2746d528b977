// What counting costs one AP request: the hooks a free /register/ap journey
// runs, from the request to its coded reply, timed answer and event.

#include <benchmark/benchmark.h>

#include <array>

#include "platform/metrics.h"

namespace {

struct Mac {
    std::array<unsigned char, 6> octets;
};

void BM_CountOneRegisterJourney(benchmark::State& state) {
    metrics().reset();
    uint32_t ap = 0;
    for (auto _ : state) {
        const Mac mac{{0x02, 0, 0, static_cast<unsigned char>(ap >> 16),
                       static_cast<unsigned char>(ap >> 8), static_cast<unsigned char>(ap)}};
        ++ap;
        metrics_request("FREE", "/register/ap");
        metrics_answer_awaited(Exchange::FW_CHECK, mac);
        metrics_event_sent(0);
        metrics_answer_received(Exchange::FW_CHECK, metrics_mac_key(mac));
        metrics_ok_reply(R"({"code":4028,"dor-version":"2.0"})");
        metrics_event_sent(1);
    }
    benchmark::DoNotOptimize(metrics().replies);
}
BENCHMARK(BM_CountOneRegisterJourney);

// The answer table with as many APs waiting as one controller serves at once.
void BM_AnswerTableWithWaitingAps(benchmark::State& state) {
    metrics().reset();
    const auto waiting = static_cast<uint32_t>(state.range(0));
    const auto mac_of = [](uint32_t n) {
        return Mac{{0x02, 1, 0, static_cast<unsigned char>(n >> 16),
                    static_cast<unsigned char>(n >> 8), static_cast<unsigned char>(n)}};
    };
    for (uint32_t n = 0; n < waiting; ++n) {
        metrics_answer_awaited(Exchange::FW_CHECK, mac_of(n));
    }
    uint32_t next = waiting;
    for (auto _ : state) {
        metrics_answer_awaited(Exchange::FW_CHECK, mac_of(next));
        metrics_answer_received(Exchange::FW_CHECK, metrics_mac_key(mac_of(next)));
        ++next;
    }
}
BENCHMARK(BM_AnswerTableWithWaitingAps)->Arg(0)->Arg(1000)->Arg(2000);

}  // namespace

BENCHMARK_MAIN();
