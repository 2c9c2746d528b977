#pragma once
// The protocol callbacks of the two vhosts, as libwebsockets calls them.

#include <libwebsockets.h>

int auth_filter_callback(lws* wsi, lws_callback_reasons reason, void* user, void* in, size_t len);
int auth_request_callback(lws* wsi, lws_callback_reasons reason, void* user, void* in, size_t len);
int auth_fw_download_callback(lws* wsi, lws_callback_reasons reason, void* user, void* in,
                              size_t len);
int free_filter_callback(lws* wsi, lws_callback_reasons reason, void* user, void* in, size_t len);
int free_request_callback(lws* wsi, lws_callback_reasons reason, void* user, void* in, size_t len);
int free_fw_download_callback(lws* wsi, lws_callback_reasons reason, void* user, void* in,
                              size_t len);
