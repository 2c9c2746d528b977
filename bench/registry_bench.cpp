// The AP registries at controller scale (up to 100,000 APs): request handling,
// the expiry step, the list outputs and the memory held per AP.
//
// Events and checks go through a real IPC port that nobody listens to, so each
// send ends at "no peer"; trace categories are off so that formatting does not
// hide the registry's own cost.

#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <numeric>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "bench/heap_counter.h"
#include "dialogue/ap_data_authorized.h"
#include "dialogue/ap_data_unauthorized.h"
#include "dialogue/sa_config.h"
#include "libs/cfg/cfg.h"
#include "libs/ipc/ipc_port.h"
#include "libs/trace/trace.h"
#include "platform/allocator.h"
#include "platform/cfg_ptr.h"
#include "platform/globals.h"
#include "registry/tracked_aps.h"
#include "registry/unauthed_aps.h"

namespace {

// The port, configuration and globals the registries use, for the whole run.
class Environment {
  public:
    Environment() {
        tune_allocator();  // as the service does
        for (int c = 0; c < kTraceCategoryCount; ++c) {
            sa_trace.set_enabled(static_cast<TraceCategory>(c), false);
        }
        char pattern[] = "/tmp/dor-bench-XXXXXX";
        if (mkdtemp(pattern) == nullptr)
            std::abort();
        dir_ = pattern;
        port_ = std::make_unique<IpcPort>(SA_PORT_ID, sa_trace, dir_);
        g_ipc_port = port_.get();
        g_sa_config = &config;
    }
    ~Environment() {
        g_ipc_port = nullptr;
        g_sa_config = nullptr;
        const std::string socket = port_->socket_path();
        port_.reset();
        unlink(socket.c_str());
        rmdir(dir_.c_str());
    }

    SaConfig config;

  private:
    std::string dir_;
    std::unique_ptr<IpcPort> port_;
};

Environment& environment() {
    static Environment env;
    return env;
}

constexpr timespec kStart{1000, 0};

std::string ip_of(uint32_t i) {
    char text[16];
    std::snprintf(text, sizeof text, "10.%u.%u.%u", (i >> 16) & 0xff, (i >> 8) & 0xff, i & 0xff);
    return text;
}

// MACs in an order unrelated to the addresses, as in a real network, so that
// a search over the MAC pairs does not find its answer early by accident.
std::vector<std::string> shuffled_macs(uint32_t count) {
    std::vector<uint32_t> ids(count);
    std::iota(ids.begin(), ids.end(), 0u);
    std::shuffle(ids.begin(), ids.end(), std::mt19937(42));
    std::vector<std::string> macs;
    macs.reserve(count);
    for (uint32_t id : ids) {
        char text[18];
        std::snprintf(text, sizeof text, "02:00:00:%02x:%02x:%02x", (id >> 16) & 0xff,
                      (id >> 8) & 0xff, id & 0xff);
        macs.push_back(text);
    }
    return macs;
}

std::string body_of(const std::string& mac) {
    return R"({"deviceType":"WLAP-200","swVersion":"2.4.1-r1234","hwVersion":"B2","serial":"SN00451234","mac":")" +
           mac + R"(","timeout":30,"error":0})";
}

template <class Registry>
void request(Registry& registry, const std::string& ip, const std::string& mac) {
    registry.track(ip, "/register/ap");
    registry.find(ip)->body = body_of(mac);
    registry.process_request(ip);
}

// Fills `registry` with `count` APs that each sent a valid body. All are
// tracked before any body is processed, so the set-up itself stays linear.
template <class Registry>
void populate(Registry& registry, uint32_t count) {
    const std::vector<std::string> macs = shuffled_macs(count);
    for (uint32_t i = 0; i < count; ++i)
        registry.track(ip_of(i), "/register/ap");
    for (uint32_t i = 0; i < count; ++i) {
        registry.find(ip_of(i))->body = body_of(macs[i]);
        registry.process_request(ip_of(i));
    }
}

// Points the process-wide registry pointers at `registry` while it lives.
struct Published {
    explicit Published(TrackedAps& tracked) { g_tracked_aps = &tracked; }
    explicit Published(UnauthedAps& unauthed) { g_unauthed_aps = &unauthed; }
    ~Published() {
        g_tracked_aps = nullptr;
        g_unauthed_aps = nullptr;
    }
};

// A new request of an AP already known, in a registry of range(0) APs.
void BM_TrackedRequestOfKnownAp(benchmark::State& state) {
    const auto count = static_cast<uint32_t>(state.range(0));
    TrackedAps tracked(environment().config, kStart);
    Published published(tracked);
    populate(tracked, count);
    const std::vector<std::string> macs = shuffled_macs(count);
    uint32_t i = 0;
    for (auto _ : state) {
        request(tracked, ip_of(i), macs[i]);
        i = (i + 1) % count;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TrackedRequestOfKnownAp)->Arg(1000)->Arg(10000)->Arg(100000);

// range(0) APs arriving one after the other, each with a request, into an
// empty registry.
void BM_TrackedFillByRequests(benchmark::State& state) {
    const auto count = static_cast<uint32_t>(state.range(0));
    const std::vector<std::string> macs = shuffled_macs(count);
    for (auto _ : state) {
        TrackedAps tracked(environment().config, kStart);
        Published published(tracked);
        for (uint32_t i = 0; i < count; ++i)
            request(tracked, ip_of(i), macs[i]);
        state.PauseTiming();  // destruction is not part of it
        tracked.clear();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * count);
}
BENCHMARK(BM_TrackedFillByRequests)
    ->Arg(1000)
    ->Arg(100000)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// The usual step: every countdown moves, nobody expires.
template <class Registry>
void BM_ExpiryStep(benchmark::State& state) {
    Registry registry(environment().config, kStart);
    Published published(registry);
    populate(registry, static_cast<uint32_t>(state.range(0)));
    timespec now = kStart;
    for (auto _ : state) {
        ++now.tv_sec;
        registry.tick(now);
    }
    if (registry.size() != static_cast<size_t>(state.range(0)))
        state.SkipWithError("expired");
}
// Fewer steps than the shorter life of 300, so no AP expires during the run.
BENCHMARK(BM_ExpiryStep<TrackedAps>)->Arg(100000)->Iterations(250)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ExpiryStep<UnauthedAps>)->Arg(100000)->Iterations(250)->Unit(benchmark::kMillisecond);

// The step in which all range(0) APs expire at once (each with a record, so
// each costs a MAC lookup, an event and, on the tracked side, a notice).
template <class Registry>
void BM_ExpiryStepAllExpire(benchmark::State& state) {
    const auto count = static_cast<uint32_t>(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        Registry registry(environment().config, kStart);
        Published published(registry);
        populate(registry, count);
        for (uint32_t i = 0; i < count; ++i)
            registry.find(ip_of(i))->countdown = 1;
        state.ResumeTiming();
        registry.tick(timespec{kStart.tv_sec + 1, 0});
        if (registry.size() != 0)
            state.SkipWithError("not expired");
    }
    state.SetItemsProcessed(state.iterations() * count);
}
BENCHMARK(BM_ExpiryStepAllExpire<TrackedAps>)
    ->Arg(1000)
    ->Arg(100000)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

template <class Registry>
void BM_CollectInfos(benchmark::State& state) {
    Registry registry(environment().config, kStart);
    Published published(registry);
    populate(registry, static_cast<uint32_t>(state.range(0)));
    for (auto _ : state) {
        std::vector<SaApsInfo::ApInfo> infos;
        registry.collect_infos(infos);
        benchmark::DoNotOptimize(infos.data());
    }
}
BENCHMARK(BM_CollectInfos<TrackedAps>)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CollectInfos<UnauthedAps>)->Arg(100000)->Unit(benchmark::kMillisecond);

// The MAC list as the controller receives it: the tree, serialized.
template <class Registry>
void BM_MacStatusesSerialized(benchmark::State& state) {
    Registry registry(environment().config, kStart);
    Published published(registry);
    populate(registry, static_cast<uint32_t>(state.range(0)));
    size_t bytes = 0;
    for (auto _ : state) {
        CfgTree tree(registry.mac_statuses());
        const char* text = tree ? cfg_serialize_compact(tree.get()) : nullptr;
        if (text == nullptr) {
            state.SkipWithError("no tree");
            break;
        }
        bytes = std::char_traits<char>::length(text);
    }
    state.counters["text_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_MacStatusesSerialized<TrackedAps>)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MacStatusesSerialized<UnauthedAps>)->Arg(100000)->Unit(benchmark::kMillisecond);
// The first list after the registry filled up: its tree lands on fresh pages, and
// the kernel's first touch of them is part of the cost (much of it in a VM).
BENCHMARK(BM_MacStatusesSerialized<TrackedAps>)
    ->Name("BM_MacStatusesFirstCall")
    ->Arg(100000)
    ->Iterations(1)
    ->Repetitions(3)
    ->Unit(benchmark::kMillisecond);

// The MAC of an address, through the address-to-MACs index.
void BM_FindMac(benchmark::State& state) {
    const auto count = static_cast<uint32_t>(state.range(0));
    TrackedAps tracked(environment().config, kStart);
    Published published(tracked);
    populate(tracked, count);
    std::mt19937 random(7);
    for (auto _ : state) {
        benchmark::DoNotOptimize(tracked.find_mac(ip_of(random() % count)));
    }
}
BENCHMARK(BM_FindMac)->Arg(1000)->Arg(10000)->Arg(100000);

// The MAC text written for every AP in the MAC list.
void BM_MacText(benchmark::State& state) {
    const MacAddr mac = MacAddr::from_str("02:00:00:4a:5b:6c");
    for (auto _ : state)
        benchmark::DoNotOptimize(mac.str());
}
BENCHMARK(BM_MacText);

// The tree alone, to tell its building from its serialization.
void BM_MacStatusesTreeOnly(benchmark::State& state) {
    TrackedAps tracked(environment().config, kStart);
    Published published(tracked);
    populate(tracked, static_cast<uint32_t>(state.range(0)));
    for (auto _ : state) {
        CfgTree tree(tracked.mac_statuses());
        benchmark::DoNotOptimize(tree.get());
    }
}
BENCHMARK(BM_MacStatusesTreeOnly)->Arg(100000)->Unit(benchmark::kMillisecond);

// Heap bytes per AP: right after its request (body still held), and after the
// endpoint has emptied the body at connection close.
template <class Registry>
void BM_MemoryPerAp(benchmark::State& state) {
    const auto count = static_cast<uint32_t>(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        const std::vector<std::string> macs = shuffled_macs(count);
        std::vector<std::string> ips;
        ips.reserve(count);
        for (uint32_t i = 0; i < count; ++i)
            ips.push_back(ip_of(i));
        auto registry = std::make_unique<Registry>(environment().config, kStart);
        Published published(*registry);
        const int64_t before = heap_bytes();
        state.ResumeTiming();

        for (uint32_t i = 0; i < count; ++i)
            registry->track(ips[i], "/register/ap");
        for (uint32_t i = 0; i < count; ++i) {
            registry->find(ips[i])->body = body_of(macs[i]);
            registry->process_request(ips[i]);
        }

        state.PauseTiming();
        const int64_t with_body = heap_bytes() - before;
        for (uint32_t i = 0; i < count; ++i) {
            std::string().swap(registry->find(ips[i])->body);
        }
        const int64_t held = heap_bytes() - before;
        state.counters["bytes_per_ap_with_body"] = static_cast<double>(with_body) / count;
        state.counters["bytes_per_ap"] = static_cast<double>(held) / count;
        registry.reset();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_MemoryPerAp<TrackedAps>)->Arg(100000)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MemoryPerAp<UnauthedAps>)->Arg(100000)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
