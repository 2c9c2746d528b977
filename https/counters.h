#pragma once
// Connection counts shared by the callbacks of both vhosts; touched only on the
// loop thread.

#include <cstdint>

struct ConnectionCounters {
    // Downloads below "/fw" on either vhost, +1 at the request, -1 at close.
    int32_t fw_download_sessions = 0;
    // Connection objects of the authorized vhost.
    int32_t auth_connections = 0;
    // Requests bound to the free vhost's "http" protocol.
    int32_t free_request_sessions = 0;
};

ConnectionCounters& https_counters();

// Limits applied by the filters.
inline constexpr int32_t kMaxFwDownloads = 50;
inline constexpr int32_t kMaxAuthConnections = 100;
inline constexpr int32_t kMaxFreeRequests = 100;
