#pragma once
// dor_sa under dor-supervisor and dor-controller-sim on loopback, with a fresh
// PKI, images and a policy; dor-ap-sim runs against it.

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "libs/ipc/ipc_client.h"
#include "tests/app/subprocess.h"
#include "tests/support/ipc_test_bed.h"
#include "tools/common/json.h"

struct FwImage {
    std::string name, board, version;
    uint64_t size;
};

struct BedConfig {
    bool auto_auth = false;
    std::string policy = "{}";
    int check_delay_ms = 0;
    std::vector<FwImage> images;
    // "<authorized connections>,<free requests>": the service's lowered limits.
    std::string edge_limits = {};
};

inline std::string text(json_t* object, const char* key) {
    const char* value = json_string_value(json_object_get(object, key));
    return value != nullptr ? value : "";
}

struct ApRun {
    std::optional<int> status;
    JsonPtr report;
    std::string stderr_text;

    json_t* ap(const std::string& mac) const;  // the report's row of `mac`, or null
};

class E2eBed {
  public:
    explicit E2eBed(const BedConfig& config);
    ~E2eBed();

    const std::string& dir() const { return dir_.path(); }
    std::string delivery_dir() const { return dir() + "/delivery"; }
    // dor-ap-sim with the bed's ports, CA and delivery directory, then `args`;
    // `meanwhile` runs while the APs do.
    ApRun run_aps(const std::vector<std::string>& args,
                  const std::function<void()>& meanwhile = {});
    std::vector<JsonPtr> events() const;
    // A controller peer on the service's IPC port, subscribed to `types`.
    IpcClient admin(const std::vector<uint32_t>& types) const;

  private:
    TempDir dir_;
    int port_ = 0, runs_ = 0;

  public:
    bool ready = false;  // both endpoints listen
    std::unique_ptr<Subprocess> service, controller;
};

template <class F>
bool eventually(F condition, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    for (const auto end = std::chrono::steady_clock::now() + limit; !condition();
         std::this_thread::sleep_for(std::chrono::milliseconds(20)))
        if (std::chrono::steady_clock::now() >= end)
            return false;
    return true;
}
