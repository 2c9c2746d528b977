#include "tools/ap-sim/options.h"

#include <charconv>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>

namespace {

std::function<bool(const std::string&)> number(int low, int high, int& field) {
    return [&field, low, high](const std::string& text) {
        int value = 0;
        const char* end = text.data() + text.size();
        const auto [ptr, ec] = std::from_chars(text.data(), end, value);
        if (text.empty() || ec != std::errc{} || ptr != end || value < low || value > high) {
            return false;
        }
        field = value;
        return true;
    };
}

std::function<bool(const std::string&)> text(std::string& field) {
    return [&field](const std::string& value) {
        field = value;
        return !value.empty();
    };
}

std::optional<std::string> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

}  // namespace

std::optional<ApSimOptions> parse_ap_sim_options(const std::vector<std::string>& args,
                                                 std::string* error) {
    ApSimOptions opts;
    RunConfig& run = opts.run;
    PlanDefaults defaults;
    defaults.mac_base = MacAddr::from_str("02:d0:00:00:00:01");
    int count = 1;
    int auth_port = 0;
    std::string mix;
    std::string plan_file;
    std::string mac_base;
    std::string load;
    const std::map<std::string, std::function<bool(const std::string&)>> valued = {
        {"--count", number(1, 100000, count)},
        {"--free-port", number(1, 65535, run.free_port)},
        {"--auth-port", number(1, 65535, auth_port)},
        {"--host", text(run.host)},
        {"--server-ca", text(run.server_ca)},
        {"--server-name", text(run.server_name)},
        {"--delivery-dir", text(run.delivery_dir)},
        {"--device-type", text(defaults.device_type)},
        {"--sw-version", text(defaults.sw_version)},
        {"--hw-version", text(defaults.hw_version)},
        {"--mac-base", text(mac_base)},
        {"--addr-base", text(defaults.addr_base)},
        {"--mix", text(mix)},
        {"--plan", text(plan_file)},
        {"--abort-downloads", number(0, 100, defaults.abort_downloads)},
        {"--poll-ms", number(1, 600000, run.journey.poll_ms)},
        {"--retries", number(0, 1000, run.journey.retries)},
        {"--retry-ms", number(0, 600000, run.journey.retry_ms)},
        {"--timeout", number(1, 86400, run.timeout_s)},
        {"--request-timeout", number(1, 3600, run.request_timeout_s)},
        {"--concurrency", number(1, 10000, run.concurrency)},
        {"--load", text(load)},
        {"--duration", number(1, 86400, run.load_duration_s)},
        {"--out", text(opts.out)},
    };
    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::optional<std::string> value;
        if (const size_t eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
        }
        if (name == "-h" || name == "--help") {
            opts.help = true;
            return opts;
        }
        if (name == "--json" || name == "--no-table" || name == "--quiet") {
            (name == "--json"    ? opts.json
             : name == "--quiet" ? opts.quiet
                                 : opts.table) = name != "--no-table";
            continue;
        }
        const auto it = valued.find(name);
        if (it == valued.end()) {
            *error = "unknown option " + name;
            return std::nullopt;
        }
        if (!value) {
            if (i + 1 == args.size()) {
                *error = name + " needs a value";
                return std::nullopt;
            }
            value = args[++i];
        }
        if (!it->second(*value)) {
            *error = "bad value for " + name + ": '" + *value + "'";
            return std::nullopt;
        }
    }
    run.auth_port = auth_port != 0 ? auth_port : run.free_port + 1;
    if (!mac_base.empty()) {
        defaults.mac_base = MacAddr::from_str(mac_base.c_str());
        if (!defaults.mac_base.valid) {
            *error = "bad value for --mac-base: '" + mac_base + "'";
            return std::nullopt;
        }
    }
    if (load == "register" || load == "ready") {
        run.journey.load = load == "register" ? LoadKind::REGISTER : LoadKind::READY;
        if (run.load_duration_s == 0) {
            *error = "--load needs --duration";
            return std::nullopt;
        }
        run.timeout_s = std::max(run.timeout_s, run.load_duration_s);
    } else if (!load.empty()) {
        *error = "--load takes register or ready";
        return std::nullopt;
    } else if (run.load_duration_s != 0) {
        *error = "--duration goes with --load";
        return std::nullopt;
    }
    if (run.delivery_dir.empty() && run.journey.load != LoadKind::REGISTER) {
        *error = "--delivery-dir is required";
        return std::nullopt;
    }
    if (!mix.empty() && !plan_file.empty()) {
        *error = "--mix and --plan exclude each other";
        return std::nullopt;
    }
    std::optional<std::vector<PlanGroup>> groups;
    if (!plan_file.empty()) {
        const auto content = read_file(plan_file);
        if (!content) {
            *error = "cannot read " + plan_file;
            return std::nullopt;
        }
        std::string why;
        groups = parse_plan(*content, &why);
        if (!groups) {
            *error = plan_file + ": " + why;
            return std::nullopt;
        }
    } else if (!mix.empty()) {
        groups = parse_mix(mix, error);
        if (!groups) {
            return std::nullopt;
        }
    } else {
        groups = std::vector<PlanGroup>{PlanGroup{count, {}, {}, {}, {}, {}, {}}};
    }
    auto aps = expand_plan(*groups, defaults, error);
    if (!aps) {
        return std::nullopt;
    }
    run.aps = std::move(*aps);
    return opts;
}

const char* ap_sim_usage_text() {
    return "usage: dor-ap-sim [OPTIONS]\n"
           "\n"
           "Simulates access points against a running dor_sa. Each AP has its own MAC and\n"
           "its own source address in 127.0.0.0/8 and runs the whole dialogue: register on\n"
           "the free endpoint; on an upgrade order download the image below /fw, check it\n"
           "and come back with its version; on authentication required poll /ott/wait/ap\n"
           "until its certificate appears in the delivery directory; then register on the\n"
           "authorized endpoint with that certificate, take its credentials and report\n"
           "ready. An AP whose certificate is already delivered starts there. Every\n"
           "request is a new HTTP/1.1 connection.\n"
           "\n"
           "Which APs:\n"
           "  --count N              N APs (default 1) of --device-type/--sw-version\n"
           "  --device-type T        default dor-ap110\n"
           "  --sw-version V         default 1.0.0\n"
           "  --hw-version V         default A1\n"
           "  --mix LIST             TYPE:VERSION[:COUNT],... e.g. dor-ap110:2.1.0:17,x9:1.0\n"
           "  --plan FILE            JSON: {\"aps\": [{\"count\": 3, \"mac\": M, \"address\": A,\n"
           "                         \"device-type\": T, \"sw-version\": V, \"hw-version\": H,\n"
           "                         \"abort-downloads\": N}, ...]}, every member optional\n"
           "  --mac-base MAC         first MAC handed out (default 02:d0:00:00:00:01)\n"
           "  --addr-base ADDR       first source address (default 127.0.1.1)\n"
           "  --abort-downloads N    break each AP's first N downloads halfway\n"
           "\n"
           "Where:\n"
           "  --free-port P          free endpoint (default 8043)\n"
           "  --auth-port P          authorized endpoint (default free port + 1)\n"
           "  --host ADDR            service address (default 127.0.0.1)\n"
           "  --server-ca FILE       verify the authorized endpoint with this CA\n"
           "  --server-name NAME     its name in the certificate (default localhost)\n"
           "  --delivery-dir DIR     where certificates arrive: <bare MAC>.pem and .key\n"
           "\n"
           "How:\n"
           "  --poll-ms N            between /ott/wait/ap polls (default 200)\n"
           "  --retries N            restart a journey after an error N times (default 0)\n"
           "  --retry-ms N           pause before a restart or a new download (default 500)\n"
           "  --concurrency N        requests in flight at most (default 64)\n"
           "  --timeout S            the whole run (default 60)\n"
           "  --request-timeout S    one request (default 20)\n"
           "  --load register|ready  repeat one request kind instead of finishing ('ready'\n"
           "                         after a first whole journey) ...\n"
           "  --duration S           ... for S seconds\n"
           "\n"
           "Output:\n"
           "  --json                 a JSON document instead of the table and summary\n"
           "  --no-table             the summary only\n"
           "  --out FILE             write it to FILE instead of standard output\n"
           "  --quiet                no progress line (shown only on a terminal anyway)\n"
           "\n"
           "Outcomes: admitted, refused (4026), tls-refused, error, download-failed,\n"
           "timed-out, stopped (load mode or interrupted).\n"
           "Exit status: 0 when every AP ended admitted or refused (or was stopped at the\n"
           "end of a load run), 1 otherwise, 2 on a usage error.\n";
}
