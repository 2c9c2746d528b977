#include "tools/controller-sim/policy.h"

#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string_view>

#include "libs/board/board_types.h"
#include "tools/common/json.h"

namespace {

// Fills `error` and returns false, so that readers can `return fail(...)`.
bool fail(std::string* error, const std::string& text) {
    if (error != nullptr) {
        *error = text;
    }
    return false;
}

bool only_members(json_t* object, std::initializer_list<std::string_view> allowed,
                  const std::string& where, std::string* error) {
    const char* key = nullptr;
    json_t* value = nullptr;
    json_object_foreach(object, key, value) {
        bool known = false;
        for (std::string_view name : allowed) {
            known = known || name == key;
        }
        if (!known) {
            return fail(error, where + ": unknown member \"" + key + "\"");
        }
    }
    return true;
}

bool read_u32(json_t* object, const char* key, std::optional<uint32_t>& out,
              const std::string& where, std::string* error) {
    json_t* value = json_object_get(object, key);
    if (value == nullptr) {
        return true;
    }
    if (!json_is_integer(value) || json_integer_value(value) < 0 ||
        json_integer_value(value) > UINT32_MAX) {
        return fail(error, where + ": \"" + key + "\" must be an unsigned 32-bit number");
    }
    out = static_cast<uint32_t>(json_integer_value(value));
    return true;
}

bool read_text(json_t* object, const char* key, std::optional<std::string>& out,
               const std::string& where, std::string* error) {
    json_t* value = json_object_get(object, key);
    if (value == nullptr) {
        return true;
    }
    if (!json_is_string(value)) {
        return fail(error, where + ": \"" + key + "\" must be a string");
    }
    out = json_string_value(value);
    return true;
}

bool read_bool(json_t* object, const char* key, std::optional<bool>& out, const std::string& where,
               std::string* error) {
    json_t* value = json_object_get(object, key);
    if (value == nullptr) {
        return true;
    }
    if (!json_is_boolean(value)) {
        return fail(error, where + ": \"" + key + "\" must be true or false");
    }
    out = json_is_true(value);
    return true;
}

json_t* object_member(json_t* object, const char* key, const std::string& where, std::string* error,
                      bool& ok) {
    json_t* value = json_object_get(object, key);
    ok = value == nullptr || json_is_object(value);
    if (!ok) {
        fail(error, where + ": \"" + key + "\" must be an object");
    }
    return ok ? value : nullptr;
}

}  // namespace

bool same_version(const std::string& a, const std::string& b) {
    const auto va = FwVersionInfo::from_str(a);
    const auto vb = FwVersionInfo::from_str(b);
    if (va && vb) {
        return *va == *vb;
    }
    return a == b;
}

Policy::Policy() {
    for (const BoardType& type : dorbt_get_board_types_params().types) {
        types_[type.name] = {};
    }
}

std::optional<Policy> Policy::parse(const std::string& text, std::string* error) {
    json_error_t json_error;
    JsonPtr root(json_loadb(text.data(), text.size(), 0, &json_error));
    if (!root) {
        fail(error, "line " + std::to_string(json_error.line) + ": " + json_error.text);
        return std::nullopt;
    }
    if (!json_is_object(root.get())) {
        fail(error, "the policy must be a JSON object");
        return std::nullopt;
    }
    Policy policy;
    std::optional<uint32_t> verdict;
    std::optional<bool> check_crt;
    bool ok = only_members(root.get(), {"verdict", "check-crt", "device-types", "macs"}, "policy",
                           error) &&
              read_u32(root.get(), "verdict", verdict, "policy", error) &&
              read_bool(root.get(), "check-crt", check_crt, "policy", error);
    if (!ok) {
        return std::nullopt;
    }
    policy.verdict_ = verdict.value_or(0);
    policy.check_crt_ = check_crt.value_or(false);

    json_t* types = object_member(root.get(), "device-types", "policy", error, ok);
    if (!ok) {
        return std::nullopt;
    }
    if (types != nullptr) {
        policy.types_.clear();
        const char* name = nullptr;
        json_t* entry = nullptr;
        json_object_foreach(types, name, entry) {
            const std::string where = std::string("device type \"") + name + "\"";
            DeviceType type;
            ok = json_is_object(entry) || fail(error, where + ": must be an object");
            ok = ok &&
                 only_members(entry, {"verdict", "firmware", "image", "check-crt"}, where, error) &&
                 read_u32(entry, "verdict", type.verdict, where, error) &&
                 read_text(entry, "firmware", type.firmware, where, error) &&
                 read_text(entry, "image", type.image, where, error) &&
                 read_bool(entry, "check-crt", type.check_crt, where, error);
            if (!ok) {
                return std::nullopt;
            }
            policy.types_[name] = type;
        }
    }

    json_t* macs = object_member(root.get(), "macs", "policy", error, ok);
    if (!ok) {
        return std::nullopt;
    }
    const char* text_key = nullptr;
    json_t* entry = nullptr;
    json_object_foreach(macs, text_key, entry) {
        const std::string where = std::string("MAC \"") + text_key + "\"";
        const MacAddr mac = MacAddr::from_str(text_key);
        MacRules rules;
        std::optional<uint32_t> cert_result;
        std::optional<bool> store;
        std::optional<bool> differs;
        ok = (mac.valid || fail(error, where + ": not a MAC address")) &&
             (json_is_object(entry) || fail(error, where + ": must be an object")) &&
             only_members(entry,
                          {"verdict", "password", "cert-result", "store-cert", "stored-differs"},
                          where, error) &&
             read_u32(entry, "verdict", rules.verdict, where, error) &&
             read_text(entry, "password", rules.password, where, error) &&
             read_u32(entry, "cert-result", cert_result, where, error) &&
             read_bool(entry, "store-cert", store, where, error) &&
             read_bool(entry, "stored-differs", differs, where, error);
        if (!ok) {
            return std::nullopt;
        }
        rules.cert = {cert_result.value_or(0), store.value_or(true), differs.value_or(false)};
        policy.macs_[mac] = rules;
    }
    return policy;
}

std::optional<Policy> Policy::load(const std::string& path, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        fail(error, "cannot read " + path);
        return std::nullopt;
    }
    std::ostringstream text;
    text << in.rdbuf();
    std::string why;
    auto policy = parse(text.str(), &why);
    if (!policy) {
        fail(error, path + ": " + why);
    }
    return policy;
}

CheckDecision Policy::check(const MacAddr& mac, const std::string& device_type,
                            const std::string& sw_version) const {
    CheckDecision decision;
    decision.verdict = verdict_;
    const auto type = types_.find(device_type);
    if (type == types_.end()) {
        decision.fw_result = kFwUnknownBoard;
        return decision;
    }
    const DeviceType& rules = type->second;
    if (rules.firmware && !same_version(*rules.firmware, sw_version)) {
        if (!rules.image) {
            decision.fw_result = kFwNoImage;
            return decision;
        }
        decision.fw_result = kFwUpgrade;
        decision.mode = kModeUpgrade;
        decision.fw_file = *rules.image;
        decision.check_crt = rules.check_crt.value_or(check_crt_);
        return decision;
    }
    decision.verdict = rules.verdict.value_or(verdict_);
    if (const auto it = macs_.find(mac); it != macs_.end() && it->second.verdict) {
        decision.verdict = *it->second.verdict;
    }
    return decision;
}

CertRules Policy::cert_rules(const MacAddr& mac) const {
    const auto it = macs_.find(mac);
    return it == macs_.end() ? CertRules{} : it->second.cert;
}

std::string Policy::password(const MacAddr& mac) const {
    if (const auto it = macs_.find(mac); it != macs_.end() && it->second.password) {
        return *it->second.password;
    }
    std::string bare = mac.str();
    std::erase(bare, ':');
    return "pw-" + bare;
}
