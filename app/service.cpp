#include "app/service.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <functional>

#include "app/cpu_placement.h"
#include "app/dispatcher.h"
#include "dialogue/sa_config.h"
#include "dor_version.h"
#include "https/lws_servers.h"
#include "libs/backtrace/backtrace.h"
#include "libs/board/board_types.h"
#include "libs/common/tz_watcher.h"
#include "libs/ipc/ipc_port.h"
#include "libs/trace/trace.h"
#include "platform/allocator.h"
#include "platform/globals.h"
#include "registry/tracked_aps.h"
#include "registry/unauthed_aps.h"

namespace {

constexpr const char* kProcessName = "dor_sa";
// The turn waits in the HTTPS step, which an IPC message wakes at once; the IPC
// step then only takes what is ready.
constexpr long kIpcWaitMs = 0;
constexpr int kHttpsWaitMs = 25;
constexpr int kFailureStatus = 255;

std::atomic<unsigned char> sighup_flag{0};
static_assert(std::atomic<unsigned char>::is_always_lock_free);

void on_sighup(int) {
    sighup_flag.store(1, std::memory_order_relaxed);
}

void exit_function() {
    Trace::global_deinit();
}

void write_held_trace_lines() {
    sa_trace.write_held_on_crash();
}

// Trace lines and IPC frames of a turn leave together just before the loop
// waits: one write each instead of one per line and per message.
class HeldOutput {
  public:
    explicit HeldOutput(IpcPort& port) : port_(port) {
        sa_trace.hold_lines(true);
        port_.hold_output(true);
    }
    ~HeldOutput() {
        port_.hold_output(false);
        sa_trace.hold_lines(false);
    }
    HeldOutput(const HeldOutput&) = delete;
    HeldOutput& operator=(const HeldOutput&) = delete;

    void flush() const {
        port_.flush_output();
        sa_trace.flush_held();
    }

  private:
    IpcPort& port_;
};

timespec monotonic_now() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

// The objects live here, in construction order, so that leaving this scope
// (normally or by an exception) destroys them in the shutdown order.
int run_service(const timespec& start) {
    TZWatcher tz_watcher;

    SaConfig config;
    g_sa_config = &config;

    TrackedAps tracked(config, start);
    g_tracked_aps = &tracked;

    UnauthedAps unauthed(config, start);
    g_unauthed_aps = &unauthed;

    IpcPort port(SA_PORT_ID, sa_trace);
    g_ipc_port = &port;

    LwsServers servers(config);
    g_free_server = &servers.free_server();
    g_auth_server = &servers.auth_server();

    const BoardTypesParams board_types = dorbt_get_board_types_params();
    g_board_types = &board_types;

    if (!port.register_msg_callback(dispatch_ipc_message, &tracked))
        return kFailureStatus;
    if (!ipc_send_ready_and_wait_for_run(port)) {
        sa_trace.error("Send ipc ready and wait for ipc run failed");
        return kFailureStatus;
    }

    const HeldOutput held(port);
    const std::function<void()> before_wait = [&held] { held.flush(); };
    time_t armed_second = start.tv_sec;
    while (!port.is_finalized() && servers.free_server().state() != FAILED &&
           servers.auth_server().state() != FAILED) {
        // Both ticks see a time taken before this turn's IPC and HTTPS work.
        const timespec now = monotonic_now();
        // Answers to waiting APs are built by IPC handlers and by expiry; the
        // connections waiting for one get a writable callback only then.
        if (port.run_once_for_timeout(kIpcWaitMs) > 0) {
            servers.arm_waiting();
        }
        servers.service(kHttpsWaitMs, before_wait);
        tz_watcher.watch();
        tracked.tick(now);
        unauthed.tick(now);
        if (now.tv_sec != armed_second) {
            armed_second = now.tv_sec;
            servers.arm_waiting();
        }
        if (sighup_flag.exchange(0, std::memory_order_relaxed) != 0) {
            sa_trace.sys("Reload config by SIGHUP");
            sa_trace.reload_config();
        }
    }
    return 0;
}

}  // namespace

int sa_main(int argc, char** argv) {
    tune_allocator();
    const timespec start = monotonic_now();

    const char* name = argc > 0 && argv[0] != nullptr ? argv[0] : "";
    if (std::strcmp(name, kProcessName) != 0) {
        std::fprintf(stderr, "wrong process_name: got %s != awaited %s\n", name, kProcessName);
        return kFailureStatus;
    }
    if (std::atexit(exit_function) != 0) {
        std::fputs("cannot set exit function\n", stderr);
        return kFailureStatus;
    }
    Trace::global_init(kProcessName);
    dor2kmt_backtrace_init(argv);
    dor2kmt_backtrace_set_last_words(write_held_trace_lines);
    std::signal(SIGHUP, on_sighup);

    if (std::getenv("DOR_SUPERVISOR") == nullptr) {
        sa_trace.error("Cannot be run in standalone mode");
        return kFailureStatus;
    }
    sa_trace.sys("dor_sa version %s", DOR_VERSION_TEXT);
    place_on_cpu(sa_trace);

    try {
        return run_service(start);
    } catch (const std::exception& e) {
        sa_trace.error("SYSTEM: Got exception: %s", e.what());
    } catch (...) {
        sa_trace.error("SYSTEM: Got exception: UNKNOWN");
    }
    return kFailureStatus;
}
