#pragma once
// The data object of an AP that holds a client certificate: it registers, gets
// its credentials, reports ready and is admitted, or is told to upgrade.

#include <cstdint>
#include <memory>
#include <string>

#include "dialogue/ap_data.h"

class ApDataAuthrized : public ApDataBase {
  public:
    // Expiry steps an AP may stay silent.
    static constexpr uint32_t kCountdown = 300;

    ~ApDataAuthrized() override = default;

    int on_request(std::shared_ptr<ApRequestParams> params, const std::string& ip) override;
    void set_path(const std::string& path) override;
    bool is_finished() const override;
    void on_check_result(uint32_t verdict, const std::string& ip, uint32_t mode, uint32_t fw_result,
                         const std::string& fw_file, bool check_crt) override;

    void set_credentials(const std::string& password);

    // Steps of on_check_result.
    void apply_verdict(uint32_t verdict, const std::string& ip);
    void admit(const std::string& ip);
    void apply_fw_mode(uint32_t mode, const std::string& ip, const std::string& fw_file,
                       bool check_crt);
    void start_upgrade(const std::string& fw_file, bool check_crt);
    void recheck_firmware(const std::string& ip);

    uint32_t countdown = kCountdown;
    ApRequestState state = REQ_UNKNOWN;
    bool failed = false;
};
