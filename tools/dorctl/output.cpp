#include "tools/dorctl/output.h"

#include <jansson.h>

#include <algorithm>
#include <array>
#include <set>
#include <string_view>

#include "libs/ipc/messages.h"
#include "libs/trace/trace_format.h"
#include "tools/common/json.h"

namespace dorctl {

namespace {

std::string dump(json_t* json, size_t flags) {
    const JsonText text(json_dumps(json, flags | JSON_ENCODE_ANY));
    return text ? text.get() : "";
}

std::string text_or_dash(const std::string& text) {
    return text.empty() ? "-" : text;
}

std::string mac_text(const MacAddr& mac) {
    return mac.valid ? mac.str() : "";
}

std::string local_time(const timespec& now) {
    char text[kTraceTimeSize];
    trace_time(now, text);
    return {text, sizeof text};
}

std::string shared(const SharedString& text) {
    return text ? *text : "";
}

void set_string(json_t* object, const char* key, const std::string& value) {
    json_object_set_new(object, key, json_stringn(value.data(), value.size()));
}

}  // namespace

std::string ap_state_name(uint32_t state) {
    static constexpr std::array<const char*, 7> kNames = {
        "unknown",      "registering", "waiting-auth", "joining-by-admin",
        "joining-auto", "joined",      "upgrading-fw",
    };
    return state < kNames.size() ? kNames[state] : "state-" + std::to_string(state);
}

std::string ap_table(const std::vector<SaApsInfo::ApInfo>& aps) {
    using Row = std::array<std::string, 7>;
    std::vector<Row> rows = {{"MAC", "IP", "STATE", "DEVICE", "SW", "HW", "SERIAL"}};
    for (const auto& ap : aps) {
        rows.push_back({text_or_dash(mac_text(ap.mac)), text_or_dash(ap.ip.str()),
                        ap_state_name(ap.state), text_or_dash(ap.device_type),
                        text_or_dash(ap.sw_version), text_or_dash(ap.hw_version),
                        text_or_dash(ap.serial)});
    }
    std::array<size_t, 7> widths{};
    for (const Row& row : rows) {
        for (size_t i = 0; i < row.size(); ++i) {
            widths[i] = std::max(widths[i], row[i].size());
        }
    }
    std::string out;
    for (const Row& row : rows) {
        std::string line;
        for (size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size()) {
                line.append(widths[i] - row[i].size() + 2, ' ');
            }
        }
        out += line + "\n";
    }
    return out;
}

std::string ap_json(const std::vector<SaApsInfo::ApInfo>& aps) {
    JsonPtr array(json_array());
    for (const auto& ap : aps) {
        json_t* object = json_object();
        set_string(object, "mac", mac_text(ap.mac));
        set_string(object, "ip", ap.ip.str());
        set_string(object, "state", ap_state_name(ap.state));
        json_object_set_new(object, "state-code", json_integer(ap.state));
        set_string(object, "device-type", ap.device_type);
        set_string(object, "sw-version", ap.sw_version);
        set_string(object, "hw-version", ap.hw_version);
        set_string(object, "serial", ap.serial);
        json_array_append_new(array.get(), object);
    }
    return dump(array.get(), JSON_INDENT(2)) + "\n";
}

std::string pretty_json(const std::string& text) {
    json_error_t error;
    JsonPtr json(json_loadb(text.data(), text.size(), JSON_DECODE_ANY, &error));
    if (!json) {
        return text + "\n";
    }
    return dump(json.get(), JSON_INDENT(2)) + "\n";
}

std::optional<std::string> json_string_member(const std::string& text, const char* key) {
    json_error_t error;
    JsonPtr json(json_loadb(text.data(), text.size(), 0, &error));
    const char* value = json ? json_string_value(json_object_get(json.get(), key)) : nullptr;
    return value ? std::optional<std::string>(value) : std::nullopt;
}

std::optional<bool> json_bool_member(const std::string& text, const char* key) {
    json_error_t error;
    JsonPtr json(json_loadb(text.data(), text.size(), 0, &error));
    json_t* member = json ? json_object_get(json.get(), key) : nullptr;
    return member && json_is_boolean(member) ? std::optional<bool>(json_is_true(member))
                                             : std::nullopt;
}

std::string auth_all_summary(const std::vector<SaApsInfo::ApInfo>& before,
                             const std::string& answer) {
    static constexpr std::string_view kNotStarted = "can't auth: ";
    std::set<std::string> not_started;
    if (json_string_member(answer, "status") != "success") {
        const std::string cause = json_string_member(answer, "cause").value_or("");
        if (!cause.starts_with(kNotStarted)) {
            return {};
        }
        std::string_view rest(cause);
        rest.remove_prefix(kNotStarted.size());
        for (size_t end; !rest.empty(); rest.remove_prefix(std::min(end + 2, rest.size()))) {
            end = rest.find(", ");
            not_started.emplace(rest.substr(0, end));
        }
    }
    std::string lines;
    for (const auto& ap : before) {
        const std::string mac = mac_text(ap.mac);
        if (ap.state == static_cast<uint32_t>(SaApState::WAITING_AUTH) &&
            !not_started.contains(mac)) {
            lines += "admitted " + mac + "\n";
        }
    }
    return lines.empty() ? "admitted no AP\n" : lines;
}

std::string auth_one_summary(const std::string& mac, const std::string& answer) {
    if (json_string_member(answer, "status") == "success") {
        return mac + ": admitted\n";
    }
    return mac +
           ": not admitted: " + json_string_member(answer, "cause").value_or("no cause given") +
           "\n";
}

std::string event_line(const IPC_MSG__SA_AP_EVENT& event, const timespec& now, bool json) {
    if (json) {
        JsonPtr object(json_object());
        set_string(object.get(), "time", local_time(now));
        set_string(object.get(), "kind", "event");
        set_string(object.get(), "mac", shared(event.mac));
        json_object_set_new(object.get(), "code", json_integer(event.code));
        set_string(object.get(), "ip", shared(event.ip));
        set_string(object.get(), "device-type", shared(event.device_type));
        set_string(object.get(), "sw-version", shared(event.sw_version));
        set_string(object.get(), "reason", shared(event.reason));
        return dump(object.get(), JSON_COMPACT);
    }
    return local_time(now) + " event " + shared(event.mac) +
           " ip=" + text_or_dash(shared(event.ip)) + " code=" + std::to_string(event.code) +
           " device=" + text_or_dash(shared(event.device_type)) +
           " sw=" + text_or_dash(shared(event.sw_version)) + ": " + shared(event.reason);
}

std::string reg_timeout_line(const std::string& mac, const timespec& now, bool json) {
    if (json) {
        JsonPtr object(json_object());
        set_string(object.get(), "time", local_time(now));
        set_string(object.get(), "kind", "reg-timeout");
        set_string(object.get(), "mac", mac);
        return dump(object.get(), JSON_COMPACT);
    }
    return local_time(now) + " reg-timeout " + mac;
}

}  // namespace dorctl
