// The HTTPS endpoints under load, with real TLS on loopback: request rate and
// latency on new connections with the controller answering at once, the CPU
// the loop spends while answers are pending, and the longest idle turn.
//
// In-process cases drive the servers with the service's loop turn (25 ms HTTPS
// step); the Process cases measure the real dor_sa under its supervisor.

#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <sstream>
#include <thread>

#include "dialogue/ap_data_authorized.h"
#include "dialogue/ap_data_unauthorized.h"
#include "libs/ipc/ipc_client.h"
#include "libs/ipc/ipc_port.h"
#include "libs/ipc/messages.h"
#include "tests/app/subprocess.h"
#include "tests/https/https_bed.h"
#include "tests/https/tls_client.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kLoopWaitMs = 25;
constexpr int kClients = 4;
constexpr int kRequestsPerClient = 50;

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    return values[static_cast<size_t>(p * static_cast<double>(values.size() - 1))];
}

// A controller process that answers every firmware check at once: the AP is
// current and admitted. It runs on its own thread with its own IPC client, so
// its answers wake the service's wait like a real controller's.
class InstantController {
  public:
    explicit InstantController(HttpsBed& bed) : thread([this, &bed] { run(bed.ipc.dir()); }) {
        // The service side delivers the results as the dispatcher would.
        bed.ipc.port.register_msg_callback(
            [&bed](const IMsg& msg, IpcPort&, void*) -> Error {
                const auto* result = dynamic_cast<const IPC_MSG__FW_AP_CHECK_RESULT*>(&msg);
                if (result == nullptr || !result->mac) {
                    return 0;
                }
                const MacAddr mac = MacAddr::from_str(result->mac->c_str());
                if (result->tracked != 0) {
                    if (auto ip = bed.tracked.find_ip(mac)) {
                        bed.tracked.find(*ip)->on_check_result(0, *ip, 0, FW_CURRENT, "", false);
                    }
                } else if (auto ip = bed.unauthed.find_ip(mac)) {
                    bed.unauthed.find(*ip)->on_check_result(0, *ip, 0, FW_CURRENT, "", false);
                }
                return 0;
            },
            nullptr);
    }
    ~InstantController() {
        stop = true;
        thread.join();
    }

  private:
    void run(const std::string& dir) {
        IpcClient client;
        if (!client.connect(dir, SA_PORT_ID, nullptr) ||
            !client.subscribe({IPC_MSG__FW_AP_CHECK::kType})) {
            return;
        }
        while (!stop) {
            if (auto check = client.receive_as<IPC_MSG__FW_AP_CHECK>(50)) {
                IPC_MSG__FW_AP_CHECK_RESULT result;
                result.mac = check->mac;
                result.fw_result = FW_CURRENT;
                result.tracked = check->authorized ? 1 : 0;
                client.send(result);
            }
        }
    }

    std::atomic<bool> stop{false};
    std::thread thread;
};

void run_requests(benchmark::State& state, bool authorized, const std::string& path) {
    HttpsBed bed;
    bed.start_servers();
    InstantController controller(bed);
    const TestPki& pki = test_pki();
    const int port = authorized ? bed.auth_port() : bed.free_port();
    std::vector<double> latencies;
    int failures = 0;
    double seconds = 0;
    for (auto _ : state) {
        std::vector<std::vector<double>> per_client(kClients);
        std::atomic<int> failed{0};
        std::atomic<int> done{0};
        const auto start = Clock::now();
        std::vector<std::thread> clients;
        for (int c = 0; c < kClients; ++c) {
            clients.emplace_back([&, c] {
                const std::string ip = "127.0.20." + std::to_string(c + 1);
                const ClientOptions client =
                    authorized ? client_at(ip, pki.path("ap1.pem"), pki.path("ap1.key"))
                               : client_at(ip);
                const std::string request = ott_post(
                    path, "application/json", ap_body("02:00:00:00:00:0" + std::to_string(c)));
                for (int i = 0; i < kRequestsPerClient; ++i) {
                    const auto sent = Clock::now();
                    if (exchange(client, port, request).status != 200) {
                        ++failed;
                    }
                    per_client[c].push_back(ms_since(sent));
                }
                ++done;
            });
        }
        while (done < kClients && ms_since(start) < 120000) {
            bed.turn(kLoopWaitMs);
        }
        for (auto& t : clients) {
            t.join();
        }
        seconds += ms_since(start) / 1000;
        failures += failed;
        for (const auto& v : per_client) {
            latencies.insert(latencies.end(), v.begin(), v.end());
        }
        bed.sent.clear();
    }
    state.counters["requests_per_s"] = static_cast<double>(latencies.size()) / seconds;
    state.counters["p50_ms"] = percentile(latencies, 0.50);
    state.counters["p99_ms"] = percentile(latencies, 0.99);
    state.counters["failed"] = failures;
}

void BM_FreeRegisterNewConnections(benchmark::State& state) {
    run_requests(state, false, "/register/ap");
}
BENCHMARK(BM_FreeRegisterNewConnections)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_AuthReadyNewConnections(benchmark::State& state) {
    run_requests(state, true, "/ready/ap");
}
BENCHMARK(BM_AuthReadyNewConnections)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// Loop turns for `duration` with `pending` free requests waiting for a check
// result that never comes: CPU share of the process, turns per second and the
// longest turn.
void BM_LoopWithPendingAnswers(benchmark::State& state) {
    const int pending = static_cast<int>(state.range(0));
    HttpsBed bed;
    bed.start_servers();
    const int port = bed.free_port();
    std::vector<std::unique_ptr<TlsClient>> waiting;
    bed.serve_while([&] {
        waiting = hold_clients(
            port, pending, "127.0.21",
            ott_post("/register/ap", "application/json", ap_body("00:11:22:33:44:55")));
        return 0;
    });
    bed.run_until([&] { return static_cast<int>(bed.unauthed.size()) == pending; });
    bed.run_until([] { return false; }, 500ms);
    double cpu = 0;
    double seconds = 0;
    double longest = 0;
    int turns = 0;
    for (auto _ : state) {
        const double cpu_start = cpu_seconds();
        const auto start = Clock::now();
        while (ms_since(start) < 5000) {
            const auto turn_start = Clock::now();
            bed.turn(kLoopWaitMs);
            longest = std::max(longest, ms_since(turn_start));
            ++turns;
        }
        cpu += cpu_seconds() - cpu_start;
        seconds += ms_since(start) / 1000;
    }
    state.counters["cpu_percent"] = 100 * cpu / seconds;
    state.counters["turns_per_s"] = turns / seconds;
    state.counters["longest_turn_ms"] = longest;
    state.counters["pending"] = pending;
}
BENCHMARK(BM_LoopWithPendingAnswers)
    ->Arg(0)
    ->Arg(100)
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

double process_cpu_seconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), {});
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    unsigned long ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14 || i == 15) {
            ticks += std::stoul(field);
        }
    }
    return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

pid_t child_of(pid_t parent) {
    std::ifstream in("/proc/" + std::to_string(parent) + "/task/" + std::to_string(parent) +
                     "/children");
    pid_t child = 0;
    in >> child;
    return child;
}

// The real service: CPU over ten seconds, idle and with `pending` requests
// waiting for a controller that never answers.
void BM_ServiceProcessCpu(benchmark::State& state) {
    const int pending = static_cast<int>(state.range(0));
    TempDir dir;
    Subprocess proc(Subprocess::Launch{DOR_SUPERVISOR_BINARY,
                                       {"dor-supervisor", "--service", DOR_SA_BINARY},
                                       {{"DOR_IPC_DIR", dir.path()}},
                                       {"DOR_SUPERVISOR", "DOR_SUPERVISOR_FD"}});
    // The supervisor turns SIGTERM into a stop; killing it would orphan dor_sa.
    struct Stop {
        Subprocess& proc;
        ~Stop() {
            proc.signal(SIGTERM);
            proc.wait_exit(5s);
        }
    } stop{proc};
    if (!proc.wait_for_stderr("dor_sa ready", 10s)) {
        state.SkipWithError("dor_sa did not start");
        return;
    }
    const pid_t service = child_of(proc.pid());
    IpcClient controller;
    controller.connect(dir.path(), SA_PORT_ID, nullptr);
    const uint32_t base = free_port_pair();
    IPC_MSG__SA_PORTS ports;
    ports.base_port = base;
    controller.send(ports);
    IPC_MSG__INCOMING_CONNECTIONS incoming;
    controller.send(incoming);
    wait_listening(static_cast<int>(base), 10s);
    std::vector<std::unique_ptr<TlsClient>> waiting;
    for (int i = 0; i < pending; ++i) {
        waiting.push_back(
            std::make_unique<TlsClient>(client_at("127.0.22." + std::to_string(i + 1))));
        waiting.back()->connect(static_cast<int>(base));
        waiting.back()->send(
            ott_post("/register/ap", "application/json", ap_body("00:11:22:33:44:55")));
    }
    std::this_thread::sleep_for(1s);
    // The service lists every AP whose request it holds.
    controller.subscribe_all();
    controller.send(IPC_MSG__SA_GET_APS{});
    const auto list = controller.receive_as<IPC_MSG__SA_GET_APS_RESP>(5000);
    if (!list || static_cast<int>(list->aps.size()) != pending) {
        state.SkipWithError("the service does not hold every request");
        return;
    }
    double cpu = 0;
    double seconds = 0;
    for (auto _ : state) {
        const double start_cpu = process_cpu_seconds(service);
        const auto start = Clock::now();
        std::this_thread::sleep_for(10s);
        cpu += process_cpu_seconds(service) - start_cpu;
        seconds += ms_since(start) / 1000;
    }
    state.counters["cpu_percent"] = 100 * cpu / seconds;
    state.counters["pending"] = pending;
    waiting.clear();
}
BENCHMARK(BM_ServiceProcessCpu)
    ->Arg(0)
    ->Arg(100)
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
