#pragma once
// The libwebsockets context and the two HTTPS servers that run in it, driven by
// the main loop once per turn.

#include "https/lws_server_authorized.h"
#include "https/lws_server_free.h"

class SaConfig;
struct lws_context;

class LwsServers {
  public:
    // Throws std::runtime_error("lws_create_context failed").
    explicit LwsServers(SaConfig& config);
    // Stops the authorized server, then the free one, then destroys the context.
    ~LwsServers();
    LwsServers(const LwsServers&) = delete;
    LwsServers& operator=(const LwsServers&) = delete;

    // One lws_service call, bounded by `timeout_ms`, then the deferred stops.
    void service(int timeout_ms);
    // Asks for a writable callback on every connection waiting for its answer.
    void arm_waiting();

    LwsServerFree& free_server() { return free; }
    LwsServerAuthorized& auth_server() { return auth; }
    lws_context* context() const { return ctx; }

  private:
    lws_context* ctx = nullptr;
    SaConfig* config;
    LwsServerFree free;
    LwsServerAuthorized auth;
};
