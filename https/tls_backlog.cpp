#include "https/tls_backlog.h"

#include <openssl/ssl.h>

#include <algorithm>
#include <vector>

namespace {

constexpr int kMaxPasses = 3;

std::vector<lws*>& watched() {
    static std::vector<lws*> connections;
    return connections;
}

bool has_backlog(lws* wsi) {
    SSL* ssl = lws_get_ssl(wsi);
    return ssl != nullptr && SSL_has_pending(ssl) == 1;
}

}  // namespace

void tls_backlog_watch(lws* wsi) {
    watched().push_back(wsi);
}

void tls_backlog_forget(lws* wsi) {
    auto& connections = watched();
    const auto found = std::find(connections.begin(), connections.end(), wsi);
    if (found != connections.end()) {
        *found = connections.back();
        connections.pop_back();
    }
}

void tls_backlog_serve(lws_context* context) {
    std::vector<int> ready;
    for (int pass = 0; pass < kMaxPasses; ++pass) {
        ready.clear();
        for (lws* wsi : watched()) {
            if (has_backlog(wsi)) {
                ready.push_back(lws_get_socket_fd(wsi));
            }
        }
        if (ready.empty()) {
            return;
        }
        // By descriptor: serving one connection may close another.
        for (const int fd : ready) {
            lws_pollfd event{.fd = fd, .events = POLLIN, .revents = POLLIN};
            lws_service_fd(context, &event);
        }
    }
}
