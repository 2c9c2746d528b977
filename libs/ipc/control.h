#pragma once
// Frames that steer the transport itself. Their type numbers are reserved and
// never reach a message callback.

#include <cstdint>
#include <vector>

#include "libs/ipc/imsg.h"

inline constexpr uint32_t IPC_CONTROL_FIRST = 0xFFFF0000u;

inline bool ipc_is_control_type(uint32_t type) {
    return type >= IPC_CONTROL_FIRST;
}

// Replaces the sender's subscription: every type when `all`, else those listed.
struct IPC_MSG__CTL_SUBSCRIBE : IpcMsg<0xFFFF0001u> {
    bool all = false;
    std::vector<uint32_t> types;
    DOR_IPC_FIELDS(all, types)
};

// Supervisor exchange: the service says READY, the supervisor answers RUN.
struct IPC_MSG__CTL_READY : IpcMsg<0xFFFF0002u> {
    DOR_IPC_FIELDS()
};
struct IPC_MSG__CTL_RUN : IpcMsg<0xFFFF0003u> {
    DOR_IPC_FIELDS()
};
