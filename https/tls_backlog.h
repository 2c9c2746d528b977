#pragma once
// TLS records that OpenSSL has read ahead but lws has not been told about.
//
// With read-ahead, one read takes in everything the AP sent at once (its whole
// last handshake flight and its request) instead of two reads per record. lws
// 4.1 only polls the socket, so a record already inside OpenSSL would wait for
// traffic that never comes: the loop hands lws a readable event for it.

#include <libwebsockets.h>

void tls_backlog_watch(lws* wsi);
void tls_backlog_forget(lws* wsi);
// Serves the connections with records waiting, a few passes at most so that a
// half record cannot keep the loop from waiting.
void tls_backlog_serve(lws_context* context);
