#include "tools/controller-sim/options.h"

#include <charconv>
#include <filesystem>
#include <functional>
#include <map>
#include <type_traits>

namespace {

bool parse_number(const std::string& text, int64_t low, int64_t high, int64_t& out) {
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, out);
    return !text.empty() && ec == std::errc{} && ptr == end && out >= low && out <= high;
}

}  // namespace

std::optional<SimOptions> parse_sim_options(const std::vector<std::string>& args,
                                            std::string* error) {
    SimOptions opts;
    auto number = [&](int64_t low, int64_t high, auto& field) {
        return [&field, low, high](const std::string& text) {
            int64_t value = 0;
            if (!parse_number(text, low, high, value)) {
                return false;
            }
            field = static_cast<std::remove_reference_t<decltype(field)>>(value);
            return true;
        };
    };
    auto text = [](std::string& field) {
        return [&field](const std::string& value) {
            field = value;
            return true;
        };
    };
    const std::map<std::string, std::function<bool(const std::string&)>> valued = {
        {"--ipc-dir", text(opts.ipc_dir)},
        {"--base-port", number(1, 65534, opts.base_port)},
        {"--ca-cert", text(opts.ca_cert)},
        {"--ca-key", text(opts.ca_key)},
        {"--server-cert", text(opts.server_cert)},
        {"--server-key", text(opts.server_key)},
        {"--ap-cert-dir", text(opts.ap_cert_dir)},
        {"--delivery-dir", text(opts.delivery_dir)},
        {"--fw-dir", text(opts.fw_dir)},
        {"--policy", text(opts.policy_file)},
        {"--check-delay-ms", number(0, 3600000, opts.check_delay_ms)},
        {"--cert-delay-ms", number(0, 3600000, opts.cert_delay_ms)},
        {"--connect-timeout", number(0, 3600, opts.connect_timeout_s)},
        {"--events", text(opts.events_file)},
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
        if (name == "--auto-auth" || name == "--quiet") {
            (name == "--quiet" ? opts.quiet : opts.auto_auth) = true;
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
    for (const auto& [name, field] :
         {std::pair{"--ca-cert", &opts.ca_cert}, std::pair{"--ca-key", &opts.ca_key},
          std::pair{"--server-cert", &opts.server_cert},
          std::pair{"--server-key", &opts.server_key},
          std::pair{"--ap-cert-dir", &opts.ap_cert_dir},
          std::pair{"--delivery-dir", &opts.delivery_dir}, std::pair{"--fw-dir", &opts.fw_dir}}) {
        if (field->empty()) {
            *error = std::string(name) + " is required";
            return std::nullopt;
        }
        // The service resolves paths from its own working directory.
        *field = std::filesystem::absolute(*field).lexically_normal().string();
    }
    return opts;
}

const char* sim_usage_text() {
    return "usage: dor-controller-sim [OPTIONS]\n"
           "\n"
           "Plays the controller's other processes for a running dor_sa: configures it,\n"
           "answers firmware checks (136) and credential requests (3) by a policy, issues\n"
           "AP certificates from its own CA for certificate requests (140), and writes AP\n"
           "events (164) and registration time-outs (106) as JSON lines.\n"
           "\n"
           "At start it sends: ports and auto-authentication (130), TLS files (139),\n"
           "firmware directory (138), then incoming connections mode 0 (145). SIGHUP sends\n"
           "them again (after a reset, say).\n"
           "\n"
           "Required:\n"
           "  --ca-cert FILE       CA certificate: the service's CA, and the issuer of AP\n"
           "                       certificates\n"
           "  --ca-key FILE        its private key\n"
           "  --server-cert FILE   the authorized endpoint's certificate\n"
           "  --server-key FILE    and its key\n"
           "  --ap-cert-dir DIR    stored AP certificates, <SERIAL>.pem\n"
           "  --delivery-dir DIR   where an AP finds its files, <bare MAC>.pem and .key\n"
           "  --fw-dir DIR         firmware images\n"
           "\n"
           "Options:\n"
           "  --ipc-dir DIR          IPC directory (default: $DOR_IPC_DIR, else /run/dor)\n"
           "  --base-port N          free endpoint port; authorized is N+1 (default 8043)\n"
           "  --auto-auth            admit waiting APs without the administrator\n"
           "  --policy FILE          answers by MAC and device type (below)\n"
           "  --check-delay-ms N     answer firmware checks after N ms (default 0)\n"
           "  --cert-delay-ms N      answer certificate requests after N ms (default 0)\n"
           "  --connect-timeout S    wait up to S seconds for the service (default 10)\n"
           "  --events FILE          JSON lines of AP events (default: standard output)\n"
           "  --quiet                no action lines on standard error\n"
           "  -h, --help             this text\n"
           "\n"
           "Policy file (JSON; every member optional, unknown members refused):\n"
           "  {\n"
           "    \"verdict\": 0,            default admission verdict (0-2 admit, 3-8 refuse)\n"
           "    \"check-crt\": false,      default fw-check-crt of upgrade orders\n"
           "    \"device-types\": {        known types; default: the board-types table\n"
           "      \"dor-ap110\": {\"verdict\": 0, \"firmware\": \"2.1.0\",\n"
           "                    \"image\": \"ap110-2.1.0.bin\", \"check-crt\": false}\n"
           "    },\n"
           "    \"macs\": {\n"
           "      \"02:d0:00:00:00:07\": {\"verdict\": 4, \"password\": \"secret\",\n"
           "                    \"cert-result\": 0, \"store-cert\": true,\n"
           "                    \"stored-differs\": false}\n"
           "    }\n"
           "  }\n"
           "  An unknown device type gets firmware result 0. A type with \"firmware\" orders\n"
           "  an upgrade (result 2, mode 2, its \"image\") from an AP running another version,\n"
           "  or refuses it (result 1) when it has no \"image\". Otherwise the result is 4\n"
           "  with the MAC's verdict, else the type's, else the default. Passwords default\n"
           "  to \"pw-\" and the bare MAC. A non-zero \"cert-result\" is sent in 141 instead of\n"
           "  issuing; \"store-cert\": false delivers a certificate the service cannot find,\n"
           "  \"stored-differs\" one whose stored copy is another certificate.\n"
           "\n"
           "Exit status: 0 on SIGINT/SIGTERM or when the service closes the connection,\n"
           "1 on an error, 2 on a usage error.\n";
}
