#pragma once
// The supervisor's half of the readiness exchange. The supervisor makes a
// socket pair, keeps one end in an IpcClient and starts the service with the
// other end's number in DOR_SUPERVISOR_FD (and DOR_SUPERVISOR set):
//
//   int mine, theirs;
//   ipc_supervisor_socketpair(mine, theirs);
//   client.adopt_fd(mine);
//   ...fork; the child sets DOR_SUPERVISOR_FD=<theirs> and execs the service...
//   close(theirs);
//   if (ipc_supervisor_wait_ready(client, 10000)) ipc_supervisor_send_run(client);
//   ...later: client.send(IPC_MSG__STOP{}) stops the service.

#include "libs/ipc/ipc_client.h"

// A connected stream socket pair; `parent_fd` is close-on-exec, `child_fd` is inherited.
bool ipc_supervisor_socketpair(int& parent_fd, int& child_fd);

// True once READY arrives within timeout_ms; false on time-out, close or any other frame.
bool ipc_supervisor_wait_ready(IpcClient& client, int timeout_ms);

bool ipc_supervisor_send_run(IpcClient& client);
