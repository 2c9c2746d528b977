#include "https/fw_download.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "dialogue/ap_data.h"
#include "dialogue/sa_config.h"
#include "https/connection_guard.h"
#include "https/counters.h"
#include "https/endpoint.h"
#include "libs/board/board_types.h"
#include "libs/trace/trace.h"
#include "platform/globals.h"
#include "platform/metrics.h"

namespace {

std::string peer_of(void* user) {
    const char* text = static_cast<const char*>(user);
    return text != nullptr ? std::string(text, strnlen(text, kPeerAddressSize)) : std::string();
}

std::string version_of(const std::string& path) {
    if (g_board_types != nullptr) {
        if (auto image = dorbt_scan_firmware_file(*g_board_types, path)) {
            return image->version.to_str();
        }
    }
    return "unknown";
}

// An open image file, closed when the request step ends.
struct ImageFile {
    ~ImageFile() {
        if (fd >= 0) {
            close(fd);
        }
    }
    // What lws and the image scan open: this very file, whatever happens to
    // its name meanwhile.
    std::string path() const { return "/proc/self/fd/" + std::to_string(fd); }
    int fd = -1;
};

// Opens the image `name` of the firmware directory; the reason for a refusal,
// or null. Only a plain file name of a regular file in a configured directory
// is served: no other file of the host, and nothing (a FIFO, a device) that
// could block the loop's only thread or never end.
const char* open_image(const std::string& name, ImageFile& image) {
    if (g_sa_config->fw_dir.empty()) {
        return "no firmware directory";
    }
    if (name.empty() || name.find('/') != std::string::npos ||
        name.find("..") != std::string::npos) {
        return "not a plain file name";
    }
    const std::string path = g_sa_config->fw_dir + "/" + name;
    image.fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (image.fd < 0) {
        return std::strerror(errno);
    }
    struct stat info {};
    if (fstat(image.fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        return "not a regular file";
    }
    return nullptr;
}

int on_request(const EndpointSide& side, lws* wsi, void* user, const char* in) {
    guard_request_received(wsi);
    guard_download_started(wsi);
    int32_t& sessions = https_counters().fw_download_sessions;
    ++sessions;
    char* peer_address = static_cast<char*>(user);
    if (lws_get_peer_simple(wsi, peer_address, kPeerAddressSize) == nullptr) {
        sa_trace.error(
            "Failed to obtain IP address of AP during firmware upgrade (download stage): %s",
            std::strerror(errno));
        return 1;
    }
    const std::string ip(peer_address);
    sa_trace.ap("New connection from %s (total active sessions: %d)", ip.c_str(), sessions);
    side.report("new connection (total active sessions: " + std::to_string(sessions) + ")", ip);

    std::string name = in != nullptr ? in : "";
    if (!name.empty() && name.front() == '/') {
        name.erase(0, 1);
    }
    ImageFile image;
    if (const char* why = open_image(name, image)) {
        // Answered as lws answers a file it cannot open; no attempt is used.
        sa_trace.warn("[%s] firmware file [%s] refused: %s", ip.c_str(), name.c_str(), why);
        lws_return_http_status(wsi, HTTP_STATUS_NOT_FOUND, nullptr);
        return 1;
    }
    // lws has answered 404 itself; its result ends the transaction, which lws
    // 4.1 would otherwise leave open (the answer held) for five seconds.
    const int refused =
        lws_serve_http_file(wsi, image.path().c_str(), "application/octet-stream", nullptr, 0);
    if (refused != 0) {
        return refused;
    }
    metrics_download_started(wsi, image.path().c_str());
    const std::string version = version_of(image.path());
    int32_t tries = 0;
    if (auto ap = side.find(ip)) {
        if (ap->fw_tries_left > 0) {
            --ap->fw_tries_left;
        }
        tries = ap->fw_tries_left;
    }
    sa_trace.events("[%s] started fw file download [%s], version %s, tries left: %d", ip.c_str(),
                    name.c_str(), version.c_str(), tries);
    side.report("started fw file download [" + name + "], version [" + version +
                    "] tries left: " + std::to_string(tries) + ")",
                ip);
    return 0;
}

void on_completed(const EndpointSide& side, const std::string& ip) {
    if (auto ap = side.find(ip)) {
        ap->fw_downloaded = true;
    }
    sa_trace.events("[%s] firmware download for %s AP: completed", ip.c_str(), side.ap_kind);
    side.report("completed fw file download", ip);
}

void on_closed(const EndpointSide& side, const std::string& ip) {
    int32_t& sessions = https_counters().fw_download_sessions;
    --sessions;
    if (auto ap = side.find(ip)) {
        if (ap->fw_downloaded) {
            ap->fw_downloaded = false;
        } else {
            sa_trace.error("[%s] firmware download for %s AP: failed", ip.c_str(), side.ap_kind);
        }
    }
    sa_trace.ap("Connection to [%s] closed (total active sessions: %d)", ip.c_str(), sessions);
    side.report("connection closed (total active sessions: " + std::to_string(sessions) + ")", ip);
}

}  // namespace

int fw_download(const EndpointSide& side, lws* wsi, lws_callback_reasons reason, void* user,
                void* in, size_t) {
    switch (reason) {
        case LWS_CALLBACK_HTTP:
            return on_request(side, wsi, user, static_cast<const char*>(in));
        case LWS_CALLBACK_HTTP_FILE_COMPLETION:
            metrics_download_completed(wsi);
            on_completed(side, peer_of(user));
            return 0;
        case LWS_CALLBACK_CLOSED_HTTP:
            metrics_download_closed(wsi);
            on_closed(side, peer_of(user));
            return 0;
        case LWS_CALLBACK_TIMER:
            return guard_on_timer(wsi) ? -1 : 0;
        default:
            return 0;
    }
}
