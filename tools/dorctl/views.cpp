#include "tools/dorctl/views.h"

#include <sstream>
#include <vector>

#include "libs/metrics/exposition.h"
#include "tools/common/json.h"

namespace dorctl {

namespace {

std::string str(json_t* object, const char* key) {
    const char* text = json_string_value(json_object_get(object, key));
    return text != nullptr ? text : "";
}

long long num(json_t* object, const char* key) {
    return static_cast<long long>(json_number_value(json_object_get(object, key)));
}

std::string or_dash(const std::string& text) {
    return text.empty() ? "-" : text;
}

// "joined 3, waiting-auth 1" for the states that have APs.
std::string state_counts(json_t* counts) {
    std::string out;
    const char* key = nullptr;
    json_t* value = nullptr;
    json_object_foreach(counts, key, value) {
        if (std::string(key) != "total" && json_number_value(value) > 0) {
            out += (out.empty() ? "" : ", ") + std::string(key) + " " +
                   exposition::number_text(json_number_value(value));
        }
    }
    return out.empty() ? "" : " (" + out + ")";
}

}  // namespace

std::optional<std::string> status_summary(const std::string& json) {
    const JsonPtr root(json_loads(json.c_str(), 0, nullptr));
    if (!json_is_object(root.get())) {
        return std::nullopt;
    }
    json_t* r = root.get();
    json_t* settings = json_object_get(r, "settings");
    json_t* tls = json_object_get(settings, "tls");
    json_t* incoming = json_object_get(settings, "incoming-connections");
    std::ostringstream out;
    out << "dor_sa " << str(r, "version") << ", up " << num(r, "uptime-seconds") << " s since "
        << str(r, "start-time") << "\n";
    out << "endpoints:";
    for (const char* name : {"free", "authorized"}) {
        json_t* endpoint = json_object_get(json_object_get(r, "endpoints"), name);
        out << "  " << name << " " << str(endpoint, "state") << " on " << num(endpoint, "port");
    }
    out << "\nsettings:   auto-authentication "
        << (json_is_true(json_object_get(settings, "auto-authentication")) ? "on" : "off")
        << ", incoming " << str(incoming, "name") << ", firmware "
        << or_dash(str(settings, "fw-dir")) << "\n";
    out << "tls files:  ca " << or_dash(str(tls, "ca-file")) << ", cert "
        << or_dash(str(tls, "cert-file")) << ", key " << or_dash(str(tls, "key-file"))
        << ", AP copies " << or_dash(str(tls, "ap-cert-dir")) << "\n";
    for (const char* registry : {"tracked", "unauthed"}) {
        json_t* counts = json_object_get(json_object_get(r, "aps"), registry);
        out << "APs " << registry << ":" << (registry[0] == 't' ? "  " : " ")
            << num(counts, "total") << state_counts(counts) << "\n";
    }
    out << "limits:    ";
    for (const char* name : {"connections", "bound-requests", "downloads"}) {
        json_t* limit = json_object_get(json_object_get(r, "limits"), name);
        out << " " << name << " " << num(limit, "in-use") << "/" << num(limit, "max");
    }
    out << "\nwaiting for the controller: " << num(json_object_get(r, "answers-waiting"), "total")
        << "\n";
    return out.str();
}

std::optional<std::string> metrics_text(const std::string& json) {
    const JsonPtr root(json_loads(json.c_str(), 0, nullptr));
    json_t* families = json_object_get(root.get(), "families");
    if (!json_is_array(families)) {
        return std::nullopt;
    }
    std::vector<exposition::Family> out;
    size_t i = 0;
    json_t* family = nullptr;
    json_array_foreach(families, i, family) {
        exposition::Family f{str(family, "name"), str(family, "type"), str(family, "help"), {}};
        size_t j = 0;
        json_t* sample = nullptr;
        json_array_foreach(json_object_get(family, "samples"), j, sample) {
            exposition::Sample s{
                str(sample, "name"), {}, json_number_value(json_object_get(sample, "value"))};
            const char* key = nullptr;
            json_t* value = nullptr;
            json_object_foreach(json_object_get(sample, "labels"), key, value) {
                s.labels.emplace_back(key,
                                      json_string_value(value) ? json_string_value(value) : "");
            }
            f.samples.push_back(std::move(s));
        }
        out.push_back(std::move(f));
    }
    return exposition::to_text(out);
}

}  // namespace dorctl
