#pragma once
// The libwebsockets context and the two HTTPS servers that run in it, driven by
// the main loop once per turn.
//
// The turn waits in one place only: the service step. The IPC port's epoll fd
// is adopted into the context (on a vhost that does not listen), so an IPC
// message wakes the service step at once, and an lws timer bounds the step to
// its time-out because lws_service itself ignores it.

#include <libwebsockets.h>

#include <functional>

#include "https/lws_server_authorized.h"
#include "https/lws_server_free.h"

class SaConfig;

class LwsServers {
  public:
    // Throws std::runtime_error("lws_create_context failed").
    explicit LwsServers(SaConfig& config);
    // Stops the authorized server, then the free one, then destroys the context.
    ~LwsServers();
    LwsServers(const LwsServers&) = delete;
    LwsServers& operator=(const LwsServers&) = delete;

    // Serves HTTPS until `timeout_ms` has passed or IPC traffic is waiting.
    // `before_wait` runs before every wait inside, to write out what the loop
    // held back.
    void service(int timeout_ms, const std::function<void()>& before_wait = {});
    // Asks for a writable callback on every connection waiting for its answer;
    // the loop calls it whenever an answer may have been built.
    void arm_waiting();

    LwsServerFree& free_server() { return free; }
    LwsServerAuthorized& auth_server() { return auth; }
    lws_context* context() const { return ctx; }

  private:
    static void on_timer(lws_sorted_usec_list_t* sul);
    static int wake_callback(lws* wsi, lws_callback_reasons reason, void* user, void* in,
                             size_t len);
    void watch_ipc_port();

    lws_context* ctx = nullptr;
    SaConfig* config;
    LwsCalls calls;  // outlives the servers
    LwsServerFree free;
    LwsServerAuthorized auth;
    lws_vhost* wake_vhost = nullptr;
    // Bounds one service step; `sul` first so the callback finds the rest.
    struct Timer {
        lws_sorted_usec_list_t sul{};
        lws_context* context = nullptr;
        bool fired = false;
    } timer;
    bool ipc_ready = false;
};
