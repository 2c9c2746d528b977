#pragma once
// Firmware images served below "/fw" to APs told to upgrade: open downloads
// counted over both vhosts, one attempt used per download.

#include <libwebsockets.h>

#include <cstddef>

struct EndpointSide;

// The "connection_counter" protocol callback of a side.
int fw_download(const EndpointSide& side, lws* wsi, lws_callback_reasons reason, void* user,
                void* in, size_t len);
