#include "libs/metrics/exposition.h"

#include <cmath>
#include <cstdio>

namespace exposition {

namespace {

// HELP texts escape backslash and line feed; label values the double quote too.
std::string text_escaped(const std::string& text, bool quote) {
    std::string out;
    for (char c : text) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '"' && quote) {
            out += "\\\"";
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace

std::string number_text(double value) {
    if (std::isinf(value)) {
        return value > 0 ? "+Inf" : "-Inf";
    }
    char buffer[32];
    if (value == std::floor(value) && std::fabs(value) < 1e15) {
        std::snprintf(buffer, sizeof buffer, "%.0f", value);
    } else {
        std::snprintf(buffer, sizeof buffer, "%.9g", value);
    }
    return buffer;
}

std::string json_escaped(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
            out += buffer;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string to_json(const std::vector<Family>& families) {
    std::string out = R"({"families":[)";
    for (size_t f = 0; f < families.size(); ++f) {
        const Family& family = families[f];
        out += f == 0 ? "" : ",";
        out += R"({"name":")" + family.name + R"(","type":")" + family.type + R"(","help":")" +
               json_escaped(family.help) + R"(","samples":[)";
        for (size_t s = 0; s < family.samples.size(); ++s) {
            const Sample& sample = family.samples[s];
            out += s == 0 ? "" : ",";
            out += R"({"name":")" + sample.name + R"(","labels":{)";
            for (size_t l = 0; l < sample.labels.size(); ++l) {
                out += l == 0 ? "" : ",";
                out += "\"" + sample.labels[l].first + "\":\"" +
                       json_escaped(sample.labels[l].second) + "\"";
            }
            out += R"(},"value":)" + number_text(sample.value) + "}";
        }
        out += "]}";
    }
    return out + "]}";
}

std::string to_text(const std::vector<Family>& families) {
    std::string out;
    for (const Family& family : families) {
        out += "# HELP " + family.name + " " + text_escaped(family.help, false) + "\n";
        out += "# TYPE " + family.name + " " + family.type + "\n";
        for (const Sample& sample : family.samples) {
            out += sample.name;
            if (!sample.labels.empty()) {
                out += "{";
                for (size_t l = 0; l < sample.labels.size(); ++l) {
                    out += l == 0 ? "" : ",";
                    out += sample.labels[l].first + "=\"" +
                           text_escaped(sample.labels[l].second, true) + "\"";
                }
                out += "}";
            }
            // Appended piecewise: GCC 12 at -O3 takes `" " + temporary` for an
            // overlapping copy (a false -Wrestrict).
            out += ' ';
            out += number_text(sample.value);
            out += '\n';
        }
    }
    return out + "# EOF\n";
}

}  // namespace exposition
