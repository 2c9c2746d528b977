#pragma once
// Process-wide objects of the service. The trace object is static; the others
// are locals of the entry function, published here once during start-up and
// valid until shutdown destroys them. Tests point them at their own objects.

class Trace;
class IpcPort;
class SaConfig;
class TrackedAps;
class UnauthedAps;
class LwsServerFree;
class LwsServerAuthorized;
struct BoardTypesParams;

extern Trace sa_trace;  // named "SA"

extern SaConfig* g_sa_config;
extern TrackedAps* g_tracked_aps;
extern UnauthedAps* g_unauthed_aps;
extern IpcPort* g_ipc_port;
extern LwsServerFree* g_free_server;
extern LwsServerAuthorized* g_auth_server;
extern const BoardTypesParams* g_board_types;
