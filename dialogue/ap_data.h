#pragma once
// What the service keeps about one AP between its requests: the request record,
// the body being collected and the reply being decided. The two sides (with and
// without a client certificate) share this frame and differ in how they turn
// the controller's check results into replies.

#include <cstdint>
#include <memory>
#include <string>

#include "dialogue/sa_reply.h"
#include "registry/addr.h"
#include "registry/ap_request.h"

// What an authorized AP's current request is for; also the request kind of its
// firmware check and the source of its event code.
enum ApRequestState : uint32_t {
    REQ_REGISTER = 0,
    REQ_READY = 1,
    REQ_FW_DECIDED = 2,
    REQ_UNKNOWN = 3,
};

class ApDataBase {
  public:
    virtual ~ApDataBase() = default;

    // Takes a newly accepted request (never null); returns an ApRequestResult code.
    virtual int on_request(std::shared_ptr<ApRequestParams> params, const std::string& ip) = 0;
    // Start of a new request on `path`.
    virtual void set_path(const std::string& path) = 0;
    // May the AP be dropped when its connection closes.
    virtual bool is_finished() const = 0;
    virtual void on_check_result(uint32_t verdict, const std::string& ip, uint32_t mode,
                                 uint32_t fw_result, const std::string& fw_file,
                                 bool check_crt) = 0;

    uint32_t fw_result = 0;
    std::string body;
    std::shared_ptr<ApRequestParams> params;
    SaReply reply;
    std::string path;
    int32_t fw_tries_left = 0;
    bool fw_downloaded = false;

  protected:
    ApDataBase() = default;
    ApDataBase(const ApDataBase&) = default;
    ApDataBase& operator=(const ApDataBase&) = default;
};

// The controller's firmware result in a check result; 2 and 3 are handled alike.
enum FwCheckResult : uint32_t {
    FW_UNKNOWN_BOARD = 0,
    FW_NO_IMAGE = 1,
    FW_UPGRADE = 2,
    FW_UPGRADE_ALT = 3,
    FW_CURRENT = 4,
};

// Downloads an AP may start after one upgrade order.
inline constexpr int32_t kFwTriesPerUpgrade = 5;

// Asks the controller whether the AP may join and with which firmware.
void send_fw_ap_check(const MacAddr& mac, const std::string& device_type, const std::string& ip,
                      const std::string& sw_version, uint32_t kind, bool authorized);
// Asks the controller for an admitted AP's credentials.
void send_get_credentials(const MacAddr& mac, const std::string& device_type,
                          const std::string& sw_version, const std::string& ip);
