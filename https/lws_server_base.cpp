#include "https/lws_server_base.h"

#include <libwebsockets.h>

#include "dialogue/sa_config.h"
#include "libs/trace/trace.h"
#include "platform/globals.h"

namespace {

// Vhost creation runs callbacks of every vhost (the certificate-aging check);
// a stop asked for from one of them must not destroy a vhost under lws's feet.
int vhosts_being_created = 0;

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
        if (in_service || vhosts_being_created > 0) {
            server_state = STOP_PENDING;
            return;
        }
        stop_vhost();
        server_state = STOPPED;
        return;
    }
    if (!start_request) {
        stop_while_starting = starting;
        return;
    }
    if (!is_enabled(config)) {
        return;
    }
    starting = true;
    ++vhosts_being_created;
    const bool started = start(config);
    --vhosts_being_created;
    starting = false;
    if (!started) {
        server_state = FAILED;
    } else {
        server_state = stop_while_starting ? STOP_PENDING : RUNNING;
    }
    stop_while_starting = false;
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
