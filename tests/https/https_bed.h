#pragma once
// The real HTTPS servers and registries in the test process, the loop turn
// driven from the test thread while simulated APs use their own threads.

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "dialogue/sa_config.h"
#include "https/counters.h"
#include "https/lws_servers.h"
#include "libs/board/board_types.h"
#include "libs/ipc/messages.h"
#include "registry/tracked_aps.h"
#include "registry/unauthed_aps.h"
#include "tests/https/tls_client.h"
#include "tests/registry/trace_capture.h"
#include "tests/support/ipc_test_bed.h"

// Made once per test program by tests/pki/make-test-pki.
struct TestPki {
    std::string dir;
    std::string path(const std::string& name) const { return dir + "/" + name; }
    std::string ap_cert_dir() const { return path("ap_certs"); }
};
const TestPki& test_pki();

uint32_t free_port_pair();  // free, then authorized

std::string ap_body(const std::string& mac);
inline const std::string kAp1Mac = "a1:b2:c3:d4:e5:f6";  // in ap1's certificate
inline const std::string kJson = "application/json";
inline const std::string kNoted = R"({"noted":true, "dor-version":"2.0"})";
inline std::string error_json(const std::string& text) {
    return R"({"error-description": ")" + text + R"(", "dor-version":"2.0"})";
}

class HttpsBed;
class ApDataBase;

struct Endpoint {
    const char* label;
    bool authorized;  // the AP presents ap1's certificate
    const char* event_prefix;
};
inline constexpr Endpoint kEndpoints[] = {{"authorized", true, "SA_AUTH: "},
                                          {"free", false, "SA_FREE: "}};
ClientOptions endpoint_client(const Endpoint& endpoint, const std::string& ip);
int endpoint_port(const HttpsBed& bed, const Endpoint& endpoint);
std::shared_ptr<ApDataBase> endpoint_ap(HttpsBed& bed, const Endpoint& endpoint,
                                        const std::string& ip);
// Sends `request` from `ip` and turns until its answer waits for the controller.
std::future<HttpAnswer> post_held(HttpsBed& bed, const Endpoint& endpoint, const std::string& ip,
                                  const std::string& request);

// Shortens the edge deadlines for one test; the service never changes them.
struct EdgeDeadlinesForTest {
    explicit EdgeDeadlinesForTest(const EdgeDeadlines& deadlines) {
        set_edge_deadlines_for_tests(deadlines);
    }
    ~EdgeDeadlinesForTest() { set_edge_deadlines_for_tests(kEdgeDeadlines); }
};

// The texts of the lines that start with `prefix`.
std::vector<std::string> lines_starting(const TraceCapture& trace, const std::string& prefix);
// The counts of the counted refusal lines that start with `prefix`, in order.
std::vector<int> refusal_counts(const TraceCapture& trace, const std::string& prefix);

// Holds a port the way another program would.
struct PortTaker {
    explicit PortTaker(uint32_t port);
    ~PortTaker();
    const int fd;
};

class HttpsBed {
  public:
    HttpsBed();  // servers enabled on a fresh port pair, not started
    void start_servers();
    // Runs `handler` on the next message from the controller, as an IPC handler.
    void from_controller(std::function<void()> handler);
    void turn(int wait_ms = 5);
    // Turns until `done` holds or `limit` passes; the final value of `done`.
    bool run_until(const std::function<bool()>& done,
                   std::chrono::milliseconds limit = std::chrono::seconds(10));
    template <class T>
    T await(std::future<T>& result) {
        run_until(
            [&] { return result.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
            std::chrono::seconds(30));
        return result.get();
    }
    // Runs `client` on its own thread, turning until it has finished.
    template <class F>
    auto serve_while(F client) -> decltype(client()) {
        auto result = std::async(std::launch::async, std::move(client));
        return await(result);
    }

    template <class M>
    std::vector<std::shared_ptr<M>> sent_as() const {
        std::vector<std::shared_ptr<M>> out;
        for (const auto& msg : sent) {
            if (auto typed = std::dynamic_pointer_cast<M>(msg))
                out.push_back(std::move(typed));
        }
        return out;
    }
    bool has_event(const std::string& reason) const;

    int free_port() const { return static_cast<int>(config.free_port); }
    int auth_port() const { return static_cast<int>(config.auth_port); }

  private:
    struct Globals {
        ~Globals();
    } globals;

  public:
    TraceCapture trace;
    SaConfig config;
    TrackedAps tracked;
    UnauthedAps unauthed;
    IpcTestBed ipc;
    BoardTypesParams board_types;
    LwsServers servers;
    std::vector<std::shared_ptr<IMsg>> sent;  // by the service over IPC

  private:
    std::vector<std::function<void()>> handlers;
    time_t armed_second;
};
