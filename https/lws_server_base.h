#pragma once
// What the two HTTPS servers share: the vhost they own and the start/stop state
// machine. A stop asked for while libwebsockets is inside the vhost (from one of
// its callbacks) is deferred until the service step has returned.

#include <cstddef>
#include <cstdint>
#include <unordered_set>

class SaConfig;
struct lws;
struct lws_context;
struct lws_context_creation_info;
struct lws_vhost;

// The numbers are part of the interface: the main loop ends on FAILED, the
// dispatcher compares with RUNNING.
enum ServerState : uint32_t {
    STOPPED = 0,
    RUNNING = 1,
    FAILED = 2,
    STOP_PENDING = 3,
};

class LwsServerBase {
  public:
    explicit LwsServerBase(lws_context* context) : context(context) {}
    // Stops with the process-wide configuration, so a destroyed server has no vhost.
    virtual ~LwsServerBase();
    LwsServerBase(const LwsServerBase&) = delete;
    LwsServerBase& operator=(const LwsServerBase&) = delete;

    ServerState state() const { return server_state; }

    // One start (true) or stop (false) request through the state machine.
    void apply(const SaConfig& config, bool start_request);
    // Stop, then up to five start attempts.
    void restart(const SaConfig& config);
    void stop(const SaConfig& config);
    void finish_pending_stop(const SaConfig& config);

    // Brackets each lws_service call.
    void set_in_service(bool value) { in_service = value; }

    // Connections whose answer is not built yet. They are given a writable
    // callback only when an answer may have appeared (arm_waiting), never in a
    // tight loop; a closing connection is forgotten.
    void wait_for_answer(lws* wsi);
    void forget(lws* wsi);
    void arm_waiting();
    size_t waiting_count() const { return waiting.size(); }

    static constexpr int kStartAttempts = 5;

  protected:
    virtual bool is_enabled(const SaConfig& config) const = 0;
    // Creates the vhost; true on success.
    virtual bool start(const SaConfig& config) = 0;
    virtual void stop_vhost();
    // The common end of start(): logs, creates the vhost from `info`.
    bool create_vhost(const lws_context_creation_info& info, const char* server_name);

    lws_context* context;
    lws_vhost* vhost = nullptr;

  private:
    ServerState server_state = STOPPED;
    bool in_service = false;
    std::unordered_set<lws*> waiting;
};
