#pragma once
// The JSON body waiting to be sent to an AP, and the fixed-text replies that
// the endpoints write without building a tree.

#include <functional>
#include <memory>
#include <string>
#include <string_view>

struct lcw_data_t;

// Protocol version carried by every reply to an AP.
inline constexpr const char* kDorVersion = "2.0";

class SaReply {
  public:
    // Null while no answer has been decided; the endpoint takes it when writing.
    std::shared_ptr<std::string> text;

    void build_allow();
    void build_unavailable(std::string_view description);
    void build_upgrade(bool check_crt, const std::string& fw_file);
    void build_credentials(const std::string& password);
    void build_auth_required();

  private:
    void __build(const std::function<void(lcw_data_t*)>& fill);
};

// Status 200 answer to "/report/ap" and to an AP that waits for authentication.
std::string noted_reply_text();
// Status 400 answer; the description goes in unescaped, so callers pass fixed
// texts without quotes or backslashes.
std::string error_reply_text(std::string_view description);
