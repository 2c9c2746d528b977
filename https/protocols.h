#pragma once
// Protocol tables and mount chains of the two vhosts.

#include <libwebsockets.h>

extern const lws_protocols kAuthProtocols[];
extern const lws_protocols kFreeProtocols[];
// "/fw" then "/ott".
extern const lws_http_mount kAuthMounts;
extern const lws_http_mount kFreeMounts;

// The vhost's default protocol, which also gets the connection-level and TLS
// callbacks.
inline constexpr const char* kDefaultProtocol = "defprot";

// Offered to clients: the APs speak HTTP/1.1, and every request closes its
// connection after the answer.
inline constexpr const char* kAlpn = "http/1.1";
