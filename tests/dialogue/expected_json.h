#pragma once
// Expected reply texts, written out from the documented layout: compact JSON,
// members in insertion order, "dor-version" last.

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace expected {

inline constexpr std::string_view kVersion = "2.0";

// A member: key and its value already in JSON form.
using Member = std::pair<std::string, std::string>;

inline std::string str(std::string_view text) {
    return "\"" + std::string(text) + "\"";
}

inline std::string object(const std::vector<Member>& members) {
    std::string out = "{";
    for (size_t i = 0; i < members.size(); ++i) {
        out += (i ? "," : "") + str(members[i].first) + ":" + members[i].second;
    }
    return out + "}";
}

inline std::string versioned(std::vector<Member> members) {
    members.emplace_back("dor-version", str(kVersion));
    return object(members);
}

inline std::vector<Member> unavailable_members(std::string_view description) {
    std::vector<Member> members{{"code", "4026"}};
    if (!description.empty()) {
        members.emplace_back("error-description", str(description));
    }
    return members;
}

inline std::vector<Member> upgrade_members(bool check_crt, std::string_view fw_file) {
    return {
        {"code", "4025"}, {"msg", str(fw_file)}, {"fw-check-crt", check_crt ? "true" : "false"}};
}

inline std::string unavailable(std::string_view description) {
    return versioned(unavailable_members(description));
}
inline std::string upgrade(bool check_crt, std::string_view fw_file) {
    return versioned(upgrade_members(check_crt, fw_file));
}
inline std::string allow() {
    return versioned({{"code", "4027"}});
}
inline std::string auth_required() {
    return versioned({{"code", "4028"}});
}
inline std::string credentials(std::string_view password) {
    return versioned({{"system", object({{"password", str(password)}})}, {"code", "1"}});
}

}  // namespace expected
