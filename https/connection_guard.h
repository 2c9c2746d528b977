#pragma once
// What one client may hold of an endpoint, connection by connection: the
// admission of new connections (the authorized endpoint's connection limit,
// unfinished handshakes per address), the deadlines from acceptance to the
// whole request, and the free endpoint's request slots. The limits and
// deadlines are in counters.h. Loop thread only.

#include <libwebsockets.h>
#include <openssl/ssl.h>

#include <cstdint>
#include <string>

#include "https/counters.h"

enum class EdgeSide { kAuth, kFree };

// LWS_CALLBACK_FILTER_NETWORK_CONNECTION (`listener` is the listening
// connection): true admits the connection.
bool guard_admit(EdgeSide side, lws* listener, const lws_filter_network_conn_args& args);
// LWS_CALLBACK_WSI_CREATE and LWS_CALLBACK_WSI_DESTROY (of a listener too).
void guard_created(EdgeSide side, lws* wsi);
void guard_destroyed(lws* wsi);
// A side at its limit does not accept: newcomers wait in the listen queue. lws
// polls every listener again whenever a connection closes; the loop calls
// this before each wait to pause again those that must stay paused.
void guard_pace_listeners();
// A free connection turned out to be a download, which has its own limit: it
// no longer holds a place for a request.
void guard_download_started(lws* wsi);
// The TLS handshake of the connection behind `ssl` has finished.
void guard_handshake_done(const SSL* ssl);
// The request has arrived whole (its body, or a download's headers): what
// follows waits for the service, not for the client, and has no deadline here.
void guard_request_received(lws* wsi);
// LWS_CALLBACK_TIMER on any protocol of either vhost: true closes the
// connection (the callback returns -1).
bool guard_on_timer(lws* wsi);

enum class SlotVerdict { kTaken, kAllTaken, kAddressHoldsTooMany };
// LWS_CALLBACK_HTTP_BIND_PROTOCOL of the free vhost's requests; a refusal is
// counted and logged here.
SlotVerdict guard_take_request_slot(lws* wsi);
// The request leaves the protocol; nothing if it held no slot.
void guard_release_request_slot(lws* wsi);

// The peer's address text as seen at acceptance; "unknown" if not known.
std::string guard_peer(lws* wsi);
// PROTOCOL_INIT and PROTOCOL_DESTROY of a vhost's default protocol: the timer
// that writes the refusal lines held back.
void guard_vhost_init(EdgeSide side, lws* wsi);
void guard_vhost_destroy(lws* wsi);
// Counts a refusal of `peer` on `wsi`'s vhost and makes sure that a line held
// back is written within a second.
void guard_refused(lws* wsi, Refusal kind, const std::string& peer);

// The address text of the peer of a TLS connection, for its log lines.
std::string peer_of_ssl(const SSL* ssl);

// Connections the guard knows, for tests.
size_t guard_connection_count();
