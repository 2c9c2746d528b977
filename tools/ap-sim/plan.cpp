#include "tools/ap-sim/plan.h"

#include <arpa/inet.h>

#include <set>
#include <sstream>

#include "tools/common/json.h"
#include "tools/common/options.h"

namespace {

bool fail(std::string* error, const std::string& text) {
    if (error != nullptr) {
        *error = text;
    }
    return false;
}

bool read_group(json_t* entry, PlanGroup& group, const std::string& where, std::string* error) {
    static const std::set<std::string> known = {
        "count", "mac", "address", "device-type", "sw-version", "hw-version", "abort-downloads"};
    if (!json_is_object(entry)) {
        return fail(error, where + ": must be an object");
    }
    const char* key = nullptr;
    json_t* value = nullptr;
    json_object_foreach(entry, key, value) {
        if (known.count(key) == 0) {
            return fail(error, where + ": unknown member \"" + key + "\"");
        }
        const bool is_count = std::string_view(key) == "count";
        if (is_count || std::string_view(key) == "abort-downloads") {
            const json_int_t number = json_is_integer(value) ? json_integer_value(value) : -1;
            if (number < (is_count ? 1 : 0) || number > 100000) {
                return fail(error, where + ": bad \"" + key + "\"");
            }
            (is_count ? group.count : group.abort_downloads.emplace()) = static_cast<int>(number);
            continue;
        }
        if (!json_is_string(value)) {
            return fail(error, where + ": \"" + key + "\" must be a string");
        }
        const std::string text = json_string_value(value);
        if (std::string_view(key) == "mac") {
            group.mac = MacAddr::from_str(text.c_str());
            if (!group.mac->valid) {
                return fail(error, where + ": bad MAC '" + text + "'");
            }
        } else if (std::string_view(key) == "address") {
            group.address = text;
        } else if (std::string_view(key) == "device-type") {
            group.device_type = text;
        } else if (std::string_view(key) == "sw-version") {
            group.sw_version = text;
        } else {
            group.hw_version = text;
        }
    }
    return true;
}

}  // namespace

std::optional<std::vector<PlanGroup>> parse_mix(const std::string& text, std::string* error) {
    std::vector<PlanGroup> groups;
    std::istringstream items(text);
    std::string item;
    while (std::getline(items, item, ',')) {
        std::vector<std::string> parts;
        std::istringstream fields(item);
        std::string part;
        while (std::getline(fields, part, ':')) {
            parts.push_back(part);
        }
        PlanGroup group;
        std::optional<int64_t> count = 1;
        if (parts.size() == 3) {
            count = cli::parse_number(parts[2], 1, 100000);
        }
        if (parts.size() < 2 || parts.size() > 3 || parts[0].empty() || parts[1].empty() ||
            !count) {
            fail(error, "bad mix item '" + item + "' (TYPE:VERSION[:COUNT])");
            return std::nullopt;
        }
        group.device_type = parts[0];
        group.sw_version = parts[1];
        group.count = static_cast<int>(*count);
        groups.push_back(group);
    }
    if (groups.empty()) {
        fail(error, "empty mix");
        return std::nullopt;
    }
    return groups;
}

std::optional<std::vector<PlanGroup>> parse_plan(const std::string& text, std::string* error) {
    json_error_t json_error;
    JsonPtr root(json_loadb(text.data(), text.size(), 0, &json_error));
    if (!root) {
        fail(error, "line " + std::to_string(json_error.line) + ": " + json_error.text);
        return std::nullopt;
    }
    json_t* list = json_is_object(root.get()) ? json_object_get(root.get(), "aps") : root.get();
    if (!json_is_array(list) || json_array_size(list) == 0) {
        fail(error, "the plan needs a non-empty \"aps\" array");
        return std::nullopt;
    }
    std::vector<PlanGroup> groups(json_array_size(list));
    for (size_t i = 0; i < groups.size(); ++i) {
        if (!read_group(json_array_get(list, i), groups[i], "aps[" + std::to_string(i) + "]",
                        error)) {
            return std::nullopt;
        }
    }
    return groups;
}

MacAddr mac_plus(const MacAddr& base, uint64_t offset) {
    uint64_t value = 0;
    for (unsigned char octet : base.octets) {
        value = value << 8 | octet;
    }
    value += offset;
    MacAddr mac;
    mac.valid = true;
    for (int i = 5; i >= 0; --i) {
        mac.octets[static_cast<size_t>(i)] = static_cast<unsigned char>(value & 0xff);
        value >>= 8;
    }
    return mac;
}

std::optional<std::string> loopback_plus(const std::string& base, uint32_t offset) {
    in_addr addr{};
    if (inet_pton(AF_INET, base.c_str(), &addr) != 1) {
        return std::nullopt;
    }
    const uint32_t value = ntohl(addr.s_addr) + offset;
    // 127.255.255.255 is the broadcast address of the loopback network.
    if ((value >> 24) != 127 || value == 0x7fffffffu) {
        return std::nullopt;
    }
    addr.s_addr = htonl(value);
    char text[INET_ADDRSTRLEN];
    return std::string(inet_ntop(AF_INET, &addr, text, sizeof text));
}

std::optional<std::vector<ApPlan>> expand_plan(const std::vector<PlanGroup>& groups,
                                               const PlanDefaults& defaults, std::string* error) {
    std::vector<ApPlan> aps;
    uint64_t next_mac = 0;
    for (const PlanGroup& group : groups) {
        for (int i = 0; i < group.count; ++i) {
            ApPlan ap;
            ap.mac = group.mac ? mac_plus(*group.mac, static_cast<uint64_t>(i))
                               : mac_plus(defaults.mac_base, next_mac++);
            // An explicit address is the group's first; the others count up from the base.
            const auto address =
                group.address
                    ? loopback_plus(*group.address, static_cast<uint32_t>(i))
                    : loopback_plus(defaults.addr_base, static_cast<uint32_t>(aps.size()));
            if (!address) {
                fail(error, "no loopback address for AP " + std::to_string(aps.size() + 1));
                return std::nullopt;
            }
            ap.address = *address;
            ap.device_type = group.device_type.value_or(defaults.device_type);
            ap.sw_version = group.sw_version.value_or(defaults.sw_version);
            ap.hw_version = group.hw_version.value_or(defaults.hw_version);
            ap.abort_downloads = group.abort_downloads.value_or(defaults.abort_downloads);
            std::string bare = ap.mac.str();
            std::erase(bare, ':');
            ap.serial = "SIM" + bare;
            aps.push_back(ap);
        }
    }
    return aps;
}
