#include "app/dispatcher.h"

#include <array>
#include <ctime>

#include "libs/common/mac_filter_config.h"
#include "libs/ipc/ipc_port.h"
#include "libs/ipc/messages.h"
#include "libs/trace/trace.h"
#include "platform/globals.h"

class TrackedAps;

namespace {

using Handler = void (*)(const IMsg& msg, IpcPort& port, TrackedAps* tracked);

template <class M>
const M& as(const IMsg& msg) {
    return static_cast<const M&>(msg);
}

void on_stop(const IMsg&, IpcPort& port, TrackedAps*) {
    port.finalize();
}

void on_set_send_and_recv(const IMsg&, IpcPort& port, TrackedAps*) {
    port.set_SendAndRecv();
}

void on_tz_update(const IMsg&, IpcPort&, TrackedAps*) {
    sa_trace.sys("Force update tzset");
    tzset();
}

void on_mac_filter_config(const IMsg& msg, IpcPort&, TrackedAps*) {
    mac_filter_config(as<IPC_MSG__MAC_FILTER_CONFIG>(msg), sa_trace);
}

struct Row {
    uint32_t type;
    Handler handler;
};

// The types the service answers; each handler stays small.
constexpr Row kRows[] = {
    {IPC_MSG__STOP::kType, on_stop},
    {IPC_MSG__SET_SEND_AND_RECV::kType, on_set_send_and_recv},
    {IPC_MSG__TZ_UPDATE::kType, on_tz_update},
    {IPC_MSG__MAC_FILTER_CONFIG::kType, on_mac_filter_config},
};

constexpr size_t kTableSize = 256;

constexpr std::array<Handler, kTableSize> make_table() {
    std::array<Handler, kTableSize> table{};
    for (const Row& row : kRows)
        table[row.type] = row.handler;
    return table;
}

constexpr std::array<Handler, kTableSize> kTable = make_table();

}  // namespace

Error dispatch_ipc_message(const IMsg& msg, IpcPort& port, void* user) {
    const uint32_t type = msg.get_type();
    const Handler handler = type < kTableSize ? kTable[type] : nullptr;
    if (handler == nullptr) {
        sa_trace.warn("Uncatched");
        return DISPATCH_UNCATCHED;
    }
    handler(msg, port, static_cast<TrackedAps*>(user));
    return DISPATCH_HANDLED;
}
