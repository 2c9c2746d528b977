#include "https/lws_servers.h"

#include <unistd.h>

#include <cstddef>
#include <ctime>
#include <stdexcept>
#include <type_traits>

#include "https/answer.h"
#include "https/connection_guard.h"
#include "https/tls_backlog.h"
#include "libs/ipc/ipc_port.h"
#include "libs/trace/trace.h"
#include "platform/globals.h"

namespace {

constexpr size_t kServiceBufferSize = 256 * 1024;
constexpr const char* kWakeProtocol = "ipc-wake";
constexpr long long kPollSlackUs = 1000;

lws_context* create_context() {
    lws_context_creation_info info{};
    info.gid = -1;
    info.uid = -1;
    info.options = LWS_SERVER_OPTION_DO_SSL_GLOBAL_INIT | LWS_SERVER_OPTION_EXPLICIT_VHOSTS;
    info.pt_serv_buf_size = kServiceBufferSize;
    // Before the context, or its first lines bypass the trace.
    lws_set_log_level(LLL_ERR | LLL_WARN | LLL_NOTICE, lws_log_to_trace);
    lws_context* context = lws_create_context(&info);
    if (context == nullptr) {
        sa_trace.error("lws_create_context failed");
        throw std::runtime_error("lws_create_context failed");
    }
    return context;
}

long long monotonic_us() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

}  // namespace

LwsServers::LwsServers(SaConfig& config)
    : ctx(create_context()), config(&config), free(ctx, calls), auth(ctx, calls) {
    timer.context = ctx;
    watch_ipc_port();
}

LwsServers::~LwsServers() {
    auth.stop(*config);
    free.stop(*config);
    lws_sul_cancel(&timer.sul);
    {
        const LwsCalls::Scope scope(calls);
        lws_context_destroy(ctx);
    }
    ctx = nullptr;
}

int LwsServers::wake_callback(lws* wsi, lws_callback_reasons reason, void*, void*, size_t) {
    // Reading is the IPC step's business; here the readiness only ends the wait.
    if (reason == LWS_CALLBACK_RAW_RX_FILE) {
        static_cast<LwsServers*>(lws_vhost_user(lws_get_vhost(wsi)))->ipc_ready = true;
    }
    return 0;
}

void LwsServers::watch_ipc_port() {
    if (g_ipc_port == nullptr || g_ipc_port->poll_fd() < 0) {
        return;
    }
    static const lws_protocols kWakeProtocols[] = {
        {.name = kWakeProtocol,
         .callback = wake_callback,
         .per_session_data_size = 0,
         .rx_buffer_size = 0,
         .id = 0,
         .user = nullptr,
         .tx_packet_size = 0},
        lws_protocols{},
    };
    lws_context_creation_info info{};
    info.port = CONTEXT_PORT_NO_LISTEN_SERVER;
    info.protocols = kWakeProtocols;
    info.vhost_name = "ipc wake";
    info.user = this;
    const LwsCalls::Scope scope(calls);
    wake_vhost = lws_create_vhost(ctx, &info);
    if (wake_vhost == nullptr) {
        sa_trace.error("Cannot watch the IPC port from the HTTPS service");
        return;
    }
    // lws closes what it adopts; the port keeps its own descriptor.
    lws_sock_file_fd_type fd{};
    fd.filefd = dup(g_ipc_port->poll_fd());
    if (fd.filefd < 0 || lws_adopt_descriptor_vhost(wake_vhost, LWS_ADOPT_RAW_FILE_DESC, fd,
                                                    kWakeProtocol, nullptr) == nullptr) {
        sa_trace.error("Cannot watch the IPC port from the HTTPS service");
    }
}

void LwsServers::on_timer(lws_sorted_usec_list_t* sul) {
    static_assert(std::is_standard_layout_v<Timer>);
    Timer* self = reinterpret_cast<Timer*>(sul);
    self->fired = true;
    // Ripe timers run before lws_service waits, and the next timer may be hours
    // away: make that wait return at once.
    lws_cancel_service(self->context);
}

void LwsServers::service(int timeout_ms, const std::function<void()>& before_wait) {
    timer.fired = false;
    ipc_ready = false;
    lws_sul_schedule(ctx, 0, &timer.sul, on_timer, static_cast<lws_usec_t>(timeout_ms) * 1000);
    // lws_service waits in poll, which counts whole milliseconds: it returns up
    // to 1 ms before the timer is due, then again and again until it is. The
    // step ends at the timer, at IPC traffic, or within that last millisecond.
    const long long end = monotonic_us() + static_cast<long long>(timeout_ms) * 1000 - kPollSlackUs;
    do {
        {
            const LwsCalls::Scope scope(calls);
            tls_backlog_serve(ctx);  // records already read wake no poll
        }
        if (before_wait) {
            before_wait();
        }
        const LwsCalls::Scope scope(calls);
        guard_pace_listeners();
        lws_service(ctx, 0);
    } while (!timer.fired && !ipc_ready && monotonic_us() < end);
}

void LwsServers::arm_waiting() {
    const LwsCalls::Scope scope(calls);
    free.arm_waiting();
    auth.arm_waiting();
}
