#pragma once
// One whole installation on loopback for end-to-end tests: dor_sa under
// dor-supervisor, dor-controller-sim with a fresh PKI, firmware images and a
// policy, and dor-ap-sim runs against them. Everything is stopped and removed
// when the bed goes away.

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "libs/ipc/ipc_client.h"
#include "tests/app/subprocess.h"
#include "tests/support/ipc_test_bed.h"
#include "tools/controller-sim/json.h"

struct FwImage {
    std::string name;
    std::string board;
    std::string version;
    uint64_t size;
};

struct BedConfig {
    bool auto_auth = false;
    std::string policy = "{}";
    int check_delay_ms = 0;
    std::vector<FwImage> images;
};

// A finished dor-ap-sim run.
struct ApRun {
    std::optional<int> status;
    JsonPtr report;  // its --json document
    std::string stderr_text;

    // The report's row of `mac`, or null.
    json_t* ap(const std::string& mac) const;
    std::string field(const std::string& mac, const char* key) const;
    long long number(const std::string& mac, const char* key) const;
};

class E2eBed {
  public:
    explicit E2eBed(const BedConfig& config);
    ~E2eBed();
    E2eBed(const E2eBed&) = delete;
    E2eBed& operator=(const E2eBed&) = delete;

    // Both endpoints listen; false (with a test failure) when they never did.
    bool ready() const { return ready_; }
    const std::string& dir() const { return dir_.path(); }
    std::string delivery_dir() const { return dir() + "/delivery"; }
    int free_port() const { return port_; }

    // dor-ap-sim with the bed's ports, CA and delivery directory, then `args`.
    ApRun run_aps(const std::vector<std::string>& args,
                  std::chrono::seconds limit = std::chrono::seconds(60));
    // The same in the background; its report goes to `report_path`.
    std::unique_ptr<Subprocess> start_aps(const std::vector<std::string>& args,
                                          const std::string& report_path);
    static ApRun finish(Subprocess& aps, const std::string& report_path,
                        std::chrono::seconds limit);

    // The event lines written so far.
    std::vector<JsonPtr> events() const;
    // A controller peer on the service's IPC port, subscribed to `types`.
    IpcClient admin(const std::vector<uint32_t>& types) const;

    Subprocess& service() { return *service_; }
    Subprocess& controller() { return *controller_; }

  private:
    std::vector<std::string> ap_sim_args(const std::vector<std::string>& args) const;

    TempDir dir_;
    int port_ = 0;
    bool ready_ = false;
    std::unique_ptr<Subprocess> service_;
    std::unique_ptr<Subprocess> controller_;
    int report_seq_ = 0;
};

// Polls `condition` every 20 ms until it holds or `limit` passes.
template <class F>
bool eventually(F condition, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}
