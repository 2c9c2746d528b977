#pragma once
// The one entry of every IPC message the controller sends to the service.

#include "libs/ipc/imsg.h"

class IpcPort;

inline constexpr Error DISPATCH_HANDLED = 0;
inline constexpr Error DISPATCH_UNCATCHED = 4;

// `user` is the tracked AP registry. Returns DISPATCH_HANDLED for every type
// the service knows, DISPATCH_UNCATCHED otherwise.
Error dispatch_ipc_message(const IMsg& msg, IpcPort& port, void* user);
