#pragma once
// Reply texts written out by hand: compact JSON, "dor-version" last.

#include <string>
#include <string_view>

namespace expected {

inline std::string versioned(std::string_view members) {
    return "{" + std::string(members) + R"(,"dor-version":"2.0"})";
}
inline std::string unavailable(std::string_view description) {
    return versioned(description.empty() ? R"("code":4026)"
                                         : R"("code":4026,"error-description":")" +
                                               std::string(description) + "\"");
}
// The members alone, as the reply's log line shows them.
inline std::string upgrade_members(bool check_crt, std::string_view fw_file) {
    return R"("code":4025,"msg":")" + std::string(fw_file) + R"(","fw-check-crt":)" +
           (check_crt ? "true" : "false");
}
inline std::string upgrade(bool check_crt, std::string_view fw_file) {
    return versioned(upgrade_members(check_crt, fw_file));
}

}  // namespace expected
