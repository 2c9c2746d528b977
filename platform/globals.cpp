#include "platform/globals.h"

#include "libs/trace/trace.h"

Trace sa_trace{"SA"};

SaConfig* g_sa_config = nullptr;
TrackedAps* g_tracked_aps = nullptr;
UnauthedAps* g_unauthed_aps = nullptr;
IpcPort* g_ipc_port = nullptr;
LwsServerFree* g_free_server = nullptr;
LwsServerAuthorized* g_auth_server = nullptr;
const BoardTypesParams* g_board_types = nullptr;
