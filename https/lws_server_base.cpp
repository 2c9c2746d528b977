#include "https/lws_server_base.h"

#include <dirent.h>
#include <libwebsockets.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstdlib>
#include <memory>
#include <utility>
#include <vector>

#include "dialogue/sa_config.h"
#include "https/counters.h"
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

// lws listens with the backlog it was built with; the queue must hold a storm
// of APs while the endpoint waits at its limit.
void set_listen_backlog(int port) {
    for (int fd : sockets_on_port(port)) {
        int listening = 0;
        socklen_t length = sizeof listening;
        if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &length) == 0 && listening != 0 &&
            listen(fd, kListenBacklog) != 0) {
            sa_trace.warn("HTTPS: cannot set the listen backlog of port %d", port);
        }
    }
}

}  // namespace

void LwsCalls::remove(LwsServerBase* server) {
    std::erase(servers, server);
}

void LwsCalls::leave() {
    if (--depth > 0) {
        return;
    }
    // A stop carried out here enters lws again and comes back through here,
    // finding nothing left to do for the servers already stopped.
    for (LwsServerBase* server : servers) {
        server->finish_pending_stop();
    }
}

LwsServerBase::LwsServerBase(lws_context* context, LwsCalls& calls)
    : context(context), calls(calls) {
    calls.add(this);
}

LwsServerBase::~LwsServerBase() {
    calls.remove(this);
    server_state = STOPPED;
    LwsServerBase::stop_vhost();
}

void LwsServerBase::apply(const SaConfig& config, bool start_request) {
    if (server_state == RUNNING || server_state == STOP_PENDING || server_state == STARTING) {
        if (start_request) {
            return;
        }
        if (calls.inside()) {
            server_state = STOP_PENDING;
            return;
        }
        // Before the destruction, which enters lws: a stop asked for from
        // there finds this one under way.
        server_state = STOPPED;
        stop_vhost();
        return;
    }
    if (!start_request || !is_enabled(config)) {
        return;
    }
    server_state = STARTING;
    const bool started = start(config);
    if (server_state == STARTING) {
        server_state = started ? RUNNING : FAILED;
    } else if (server_state == STOPPED) {
        // The stop asked for during the start has been carried out; it must
        // not be undone by what the start reports.
        stop_vhost();
    }
}

void LwsServerBase::restart(const SaConfig& config) {
    apply(config, false);
    for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
        apply(config, true);
        if (server_state != FAILED) {
            break;
        }
    }
}

void LwsServerBase::stop(const SaConfig& config) {
    apply(config, false);
}

void LwsServerBase::finish_pending_stop() {
    if (server_state == STOP_PENDING) {
        server_state = STOPPED;
        stop_vhost();
    }
}

void LwsServerBase::stop_vhost() {
    if (vhost == nullptr) {
        return;
    }
    lws_vhost* const dying = std::exchange(vhost, nullptr);
    const LwsCalls::Scope scope(calls);
    hang_up_port(context, lws_get_vhost_listen_port(dying));
    lws_vhost_destroy(dying);
}

bool LwsServerBase::create_vhost(const lws_context_creation_info& info, const char* server_name) {
    sa_trace.core("Starting https endpoint on port %d %s", info.port, server_name);
    bool created = false;
    {
        const LwsCalls::Scope scope(calls);
        vhost = lws_create_vhost(context, &info);
        created = vhost != nullptr;
    }
    if (!created) {
        sa_trace.error("Failed to create vhost <https>");
        return false;
    }
    // Null when a stop asked for inside the creation has already destroyed it.
    if (vhost == nullptr) {
        return false;
    }
    set_listen_backlog(lws_get_vhost_listen_port(vhost));
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
