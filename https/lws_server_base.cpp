#include "https/lws_server_base.h"

#include <dirent.h>
#include <libwebsockets.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstdlib>
#include <memory>
#include <vector>

#include "dialogue/sa_config.h"
#include "libs/trace/trace.h"
#include "platform/globals.h"

namespace {

// The sockets of this process whose local port is `port`: a listening socket
// and the connections accepted on it.
std::vector<int> sockets_on_port(int port) {
    std::vector<int> fds;
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir("/proc/self/fd"), closedir);
    if (!dir) {
        return fds;
    }
    const int own = dirfd(dir.get());
    while (const dirent* entry = readdir(dir.get())) {
        const int fd = std::atoi(entry->d_name);
        sockaddr_in addr{};
        socklen_t length = sizeof addr;
        if (entry->d_name[0] != '.' && fd != own &&
            getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) == 0 &&
            addr.sin_family == AF_INET && ntohs(addr.sin_port) == port) {
            fds.push_back(fd);
        }
    }
    return fds;
}

// lws 4.1 keeps a destroyed vhost's sockets, the listening one included, open
// until a housekeeping timer some 30 s later, and a vhost created meanwhile on
// the same port would share the dying listener. Reporting a hang-up on each
// before the destruction makes lws close them at once, and the vhost then goes
// away in lws_vhost_destroy itself; sockets that are not lws's are ignored.
void hang_up_port(lws_context* context, int port) {
    if (port <= 0) {
        return;
    }
    for (int fd : sockets_on_port(port)) {
        lws_pollfd hang_up{fd, POLLIN, POLLHUP};
        lws_service_fd(context, &hang_up);
    }
}

}  // namespace

LwsServerBase::~LwsServerBase() {
    in_service = false;
    if (g_sa_config != nullptr) {
        apply(*g_sa_config, false);
    } else {
        LwsServerBase::stop_vhost();
    }
}

void LwsServerBase::apply(const SaConfig& config, bool start_request) {
    if (server_state == RUNNING || server_state == STOP_PENDING) {
        if (start_request) {
            return;
        }
        if (in_service) {
            server_state = STOP_PENDING;
            return;
        }
        stop_vhost();
        server_state = STOPPED;
        return;
    }
    if (!start_request || !is_enabled(config)) {
        return;
    }
    server_state = start(config) ? RUNNING : FAILED;
}

void LwsServerBase::restart(const SaConfig& config) {
    apply(config, false);
    for (int attempt = 0; attempt < kStartAttempts && server_state != RUNNING; ++attempt) {
        apply(config, true);
    }
}

void LwsServerBase::stop(const SaConfig& config) {
    apply(config, false);
}

void LwsServerBase::finish_pending_stop(const SaConfig& config) {
    if (server_state == STOP_PENDING) {
        apply(config, false);
    }
}

void LwsServerBase::stop_vhost() {
    if (vhost != nullptr) {
        hang_up_port(context, lws_get_vhost_listen_port(vhost));
        lws_vhost_destroy(vhost);
        vhost = nullptr;
    }
}

bool LwsServerBase::create_vhost(const lws_context_creation_info& info, const char* server_name) {
    sa_trace.core("Starting https endpoint on port %d %s", info.port, server_name);
    vhost = lws_create_vhost(context, &info);
    if (vhost == nullptr) {
        sa_trace.error("Failed to create vhost <https>");
        return false;
    }
    return true;
}

void LwsServerBase::wait_for_answer(lws* wsi) {
    waiting.insert(wsi);
}

void LwsServerBase::forget(lws* wsi) {
    waiting.erase(wsi);
}

void LwsServerBase::arm_waiting() {
    // Each armed connection comes back to the set if its answer is still missing.
    std::unordered_set<lws*> armed;
    armed.swap(waiting);
    for (lws* wsi : armed) {
        lws_callback_on_writable(wsi);
    }
}
