#include "libs/common/tools.h"

#include <string_view>

namespace tools {

namespace {

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string_view trim(std::string_view token) {
    while (!token.empty() && is_blank(token.front())) {
        token.remove_prefix(1);
    }
    while (!token.empty() && is_blank(token.back())) {
        token.remove_suffix(1);
    }
    return token;
}

std::vector<MacAddr> split_macs(std::string_view text, char separator) {
    std::vector<MacAddr> macs;
    while (!text.empty()) {
        const size_t end = text.find(separator);
        const std::string_view token = trim(text.substr(0, end));
        if (!token.empty()) {
            const MacAddr mac = MacAddr::from_str(token.data(), token.size());
            if (mac.valid) {
                macs.push_back(mac);
            }
        }
        if (end == std::string_view::npos) {
            break;
        }
        text.remove_prefix(end + 1);
    }
    return macs;
}

}  // namespace

std::vector<MacAddr> string_to_macs(const std::string& text, char separator) {
    return split_macs(text, separator);
}

std::vector<MacAddr> string_to_macs(const std::shared_ptr<std::string>& text, char separator) {
    if (!text) {
        return {};
    }
    return split_macs(*text, separator);
}

}  // namespace tools
