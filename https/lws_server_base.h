#pragma once
// What the two HTTPS servers share: the vhost they own and the start/stop state
// machine. A stop asked for while the thread is inside libwebsockets (from one
// of its callbacks) is deferred until that call has returned.

#include <cstddef>
#include <cstdint>
#include <unordered_set>
#include <vector>

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
    STARTING = 4,  // inside start(): a stop asked for meanwhile wins over its result
};

class LwsServerBase;

// Whether the thread is inside a libwebsockets call of one context. Such a call
// may run our callbacks while lws walks its vhosts, and not only lws_service:
// every vhost creation after the first service turn broadcasts certificate
// aging to all vhosts. A vhost destroyed from there would be freed under lws's
// feet, so its stop waits until the outermost call has returned.
class LwsCalls {
  public:
    LwsCalls() = default;
    LwsCalls(const LwsCalls&) = delete;
    LwsCalls& operator=(const LwsCalls&) = delete;

    // Brackets one libwebsockets call; leaving the outermost carries out the
    // stops asked for meanwhile.
    class Scope {
      public:
        explicit Scope(LwsCalls& calls) : calls(calls) { ++calls.depth; }
        ~Scope() { calls.leave(); }
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

      private:
        LwsCalls& calls;
    };

    bool inside() const { return depth > 0; }
    void add(LwsServerBase* server) { servers.push_back(server); }
    void remove(LwsServerBase* server);

  private:
    void leave();

    int depth = 0;
    std::vector<LwsServerBase*> servers;
};

class LwsServerBase {
  public:
    LwsServerBase(lws_context* context, LwsCalls& calls);
    // At once, deferred or not: a destroyed server has no vhost.
    virtual ~LwsServerBase();
    LwsServerBase(const LwsServerBase&) = delete;
    LwsServerBase& operator=(const LwsServerBase&) = delete;

    ServerState state() const { return server_state; }

    // One start (true) or stop (false) request through the state machine.
    void apply(const SaConfig& config, bool start_request);
    // Stop, then up to five start attempts while they fail.
    void restart(const SaConfig& config);
    void stop(const SaConfig& config);
    // Called when the outermost libwebsockets call has returned.
    void finish_pending_stop();

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
    LwsCalls& calls;
    lws_vhost* vhost = nullptr;

  private:
    ServerState server_state = STOPPED;
    std::unordered_set<lws*> waiting;
};
