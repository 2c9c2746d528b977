#include "registry/ap_request.h"

#include <cstring>
#include <string>

#include "libs/cfg/cfg.h"
#include "libs/trace/trace.h"
#include "platform/cfg_ptr.h"
#include "platform/globals.h"

namespace {

// Members every request must carry, in the order they are checked.
constexpr const char* kRequiredMembers[] = {"deviceType", "swVersion", "hwVersion",
                                            "serial",     "mac",       "timeout"};

bool is_number_member(const char* key) {
    return std::strcmp(key, "timeout") == 0 || std::strcmp(key, "error") == 0;
}

// The tree hands strings out as C text, so a string holding a NUL would be cut
// silently. Its serialized form shows the NUL as the escape \u0000.
bool string_holds_nul(lcw_data_t* tree, const char* key) {
    const std::string path = std::string("/") + key;
    lcw_data_t* node = cfg_get_subtree_from_path(tree, path.c_str());
    const char* text = node != nullptr ? cfg_serialize_compact(node) : nullptr;
    if (text == nullptr)
        return true;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p != '\\')
            continue;
        if (p[1] == 'u' && std::strncmp(p + 2, "0000", 4) == 0)
            return true;
        if (p[1] != '\0')
            ++p;  // skip the escaped character, e.g. a backslash
    }
    return false;
}

// An integer in 0..UINT32_MAX. The tree gives 0 for integers out of that range,
// so a 0 is confirmed on the node itself.
bool is_uint32_member(lcw_data_t* tree, const char* key) {
    if (cfg_param_type(tree, key) != CFG_INTEGER)
        return false;
    if (cfg_get_uint32_param(tree, key) != 0)
        return true;
    const std::string path = std::string("/") + key;
    int value = -1;
    lcw_data_t* node = cfg_get_subtree_from_path(tree, path.c_str());
    return node != nullptr && cfg_object_to_int(node, &value) != 0 && value == 0;
}

// A member of the wrong JSON type cannot be read, so it counts as missing.
bool has_readable_member(lcw_data_t* tree, const char* key) {
    if (cfg_contain_param(tree, key) == 0)
        return false;
    if (is_number_member(key))
        return is_uint32_member(tree, key);
    return cfg_param_type(tree, key) == CFG_STRING && !string_holds_nul(tree, key);
}

std::shared_ptr<ApRequestParams> parse_tree(lcw_data_t* tree) {
    for (const char* key : kRequiredMembers) {
        if (!has_readable_member(tree, key)) {
            sa_trace.warn("json have no necessary params");
            return nullptr;
        }
    }
    // "error" is optional, but one that is present must be readable.
    if (cfg_contain_param(tree, "error") != 0 && !has_readable_member(tree, "error")) {
        sa_trace.warn("json have no necessary params");
        return nullptr;
    }

    auto params = std::make_shared<ApRequestParams>();
    params->error = cfg_get_uint32_param(tree, "error");
    params->timeout = cfg_get_uint32_param(tree, "timeout");
    params->mac = MacAddr::from_str(cfg_get_param(tree, "mac"));
    params->serial = cfg_get_param(tree, "serial");
    params->hw_version = cfg_get_param(tree, "hwVersion");
    params->sw_version = cfg_get_param(tree, "swVersion");
    params->device_type = cfg_get_param(tree, "deviceType");

    if (!params->mac.valid) {
        sa_trace.warn("json mac is invalid");
        return nullptr;
    }
    sa_trace.ap_mac(params->mac, "json contain all awaited valid params");
    return params;
}

}  // namespace

std::shared_ptr<ApRequestParams> parse_json_ap_request(const std::string& body) {
    sa_trace.ap("parsing json:");
    sa_trace.ap_limited("%s", body.c_str());

    // JSON text never holds a raw NUL; the parser would stop there and judge
    // only the part before it.
    CfgTree tree(body.find('\0') == std::string::npos ? cfg_parse_buffer(body.c_str()) : nullptr);
    if (!tree) {
        sa_trace.warn("json can`t parse buffer");
        return nullptr;
    }
    return parse_tree(tree.get());
}

SaApsInfo::ApInfo make_ap_info(const std::string& ip, const ApRequestParams& params,
                               SaApState state) {
    SaApsInfo::ApInfo info;
    info.mac = params.mac;
    info.ip = Ipv4Addr::from_str(ip.c_str());
    info.device_type = params.device_type;
    info.sw_version = params.sw_version;
    info.hw_version = params.hw_version;
    info.serial = params.serial;
    info.state = static_cast<uint32_t>(state);
    return info;
}
