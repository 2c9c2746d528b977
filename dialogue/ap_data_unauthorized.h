#pragma once
// The data object of an AP without an accepted certificate: it registers, may
// be told to upgrade, then waits until it is authenticated.

#include <cstdint>
#include <memory>
#include <string>

#include "dialogue/ap_data.h"

// Where an unauthorized AP stands in its admission.
enum UnauthedApSaState : uint32_t {
    REGISTER = 0,
    WAIT_AUTH = 1,
    JOIN_BY_ADMIN = 2,
    JOIN_AUTO = 3,
    UPGRADING_FW = 4,
    UNKNOWN = 5,
};

class ApDataUnauthorized : public ApDataBase {
  public:
    // Expiry steps an AP may stay silent.
    static constexpr uint32_t kCountdown = 360;

    ~ApDataUnauthorized() override = default;

    int on_request(std::shared_ptr<ApRequestParams> params, const std::string& ip) override;
    void set_path(const std::string& path) override;
    bool is_finished() const override;
    void on_check_result(uint32_t verdict, const std::string& ip, uint32_t mode, uint32_t fw_result,
                         const std::string& fw_file, bool check_crt) override;

    void set_join_by_admin() { state = JOIN_BY_ADMIN; }
    void set_join_auto() { state = JOIN_AUTO; }
    void set_notify_admin(bool notify) { notify_admin = notify; }
    bool is_upgrading() const { return state == UPGRADING_FW; }

    uint32_t countdown = kCountdown;
    UnauthedApSaState state = UNKNOWN;
    bool notify_admin = false;  // the administrator waits for this AP's result
    bool failed = false;
};
