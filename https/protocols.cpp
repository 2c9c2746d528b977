#include "https/protocols.h"

#include "https/callbacks.h"
#include "https/endpoint.h"

// The tables name the fields they set; lws wants every other field zero.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

// Index 0 is kDefaultProtocol; the mounts bind the other two by name.
constexpr const char* kRequests = "http";
constexpr const char* kDownloads = "connection_counter";

constexpr lws_protocols protocol(const char* name, lws_callback_function* callback) {
    return lws_protocols{
        .name = name,
        .callback = callback,
        .per_session_data_size = kPeerAddressSize,
        .rx_buffer_size = 0,
        .id = 0,
        .user = nullptr,
        .tx_packet_size = 0,
    };
}

// Firmware images go out whatever their extension.
const lws_protocol_vhost_options kAnyMimetype{
    .next = nullptr,
    .options = nullptr,
    .name = "*",
    .value = "application/octet-stream",
};

constexpr lws_http_mount ott_mount() {
    return lws_http_mount{
        .mount_next = nullptr,
        .mountpoint = "/ott",
        .protocol = kRequests,
        .origin_protocol = LWSMPRO_CALLBACK,
        .mountpoint_len = 4,
    };
}

constexpr lws_http_mount fw_mount(const lws_http_mount* next) {
    return lws_http_mount{
        .mount_next = next,
        .mountpoint = "/fw",
        .protocol = kDownloads,
        .extra_mimetypes = &kAnyMimetype,
        .origin_protocol = LWSMPRO_CALLBACK,
        .mountpoint_len = 3,
    };
}

const lws_http_mount kAuthOtt = ott_mount();
const lws_http_mount kFreeOtt = ott_mount();

}  // namespace

const lws_protocols kAuthProtocols[] = {
    protocol(kDefaultProtocol, auth_filter_callback),
    protocol(kRequests, auth_request_callback),
    protocol(kDownloads, auth_fw_download_callback),
    lws_protocols{},
};

const lws_protocols kFreeProtocols[] = {
    protocol(kDefaultProtocol, free_filter_callback),
    protocol(kRequests, free_request_callback),
    protocol(kDownloads, free_fw_download_callback),
    lws_protocols{},
};

const lws_http_mount kAuthMounts = fw_mount(&kAuthOtt);
const lws_http_mount kFreeMounts = fw_mount(&kFreeOtt);
