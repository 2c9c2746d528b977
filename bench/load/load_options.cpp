#include "bench/load/load_options.h"

#include <charconv>
#include <functional>
#include <map>

namespace {

using Setter = std::function<bool(const std::string&)>;

Setter number(int low, int high, int& field) {
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

Setter text(std::string& field) {
    return [&field](const std::string& value) {
        field = value;
        return !value.empty();
    };
}

}  // namespace

std::optional<LoadOptions> parse_load_options(const std::vector<std::string>& args,
                                              std::string* error) {
    LoadOptions opts;
    std::string addr_base;
    std::string mac_base;
    const std::map<std::string, Setter> valued = {
        {"--host", text(opts.host)},
        {"--port", number(1, 65535, opts.port)},
        {"--method", text(opts.method)},
        {"--path", text(opts.path)},
        {"--prepare", text(opts.prepare_path)},
        {"--clients", number(1, 1000, opts.clients)},
        {"--duration", number(1, 3600, opts.duration_s)},
        {"--rounds", number(1, 1000, opts.rounds)},
        {"--request-timeout-ms", number(1, 600000, opts.request_timeout_ms)},
        {"--run-timeout", number(1, 86400, opts.run_timeout_s)},
        {"--addr-base", text(addr_base)},
        {"--mac-base", text(mac_base)},
        {"--device-type", text(opts.body.device_type)},
        {"--sw-version", text(opts.body.sw_version)},
        {"--hw-version", text(opts.body.hw_version)},
        {"--cert-dir", text(opts.cert_dir)},
        {"--server-ca", text(opts.server_ca)},
        {"--expect-status", number(100, 599, opts.expect_status)},
        {"--expect-text", text(opts.expect_text)},
        {"--latencies", text(opts.latencies_out)},
        {"--summary", text(opts.summary_out)},
        {"--label", text(opts.label)},
        {"--cpu-pid", number(1, 1 << 30, opts.cpu_pid)},
        {"--cpu-settle-ms", number(0, 60000, opts.cpu_settle_ms)},
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
    if (opts.port == 0) {
        *error = "--port is required";
        return std::nullopt;
    }
    if ((opts.duration_s == 0) == (opts.rounds == 0)) {
        *error = "give either --duration or --rounds";
        return std::nullopt;
    }
    if (opts.method != "GET" && opts.method != "POST") {
        *error = "--method takes GET or POST";
        return std::nullopt;
    }
    if (opts.cpu_pid != 0 && opts.rounds == 0) {
        *error = "--cpu-pid goes with --rounds";
        return std::nullopt;
    }
    if (!addr_base.empty()) {
        opts.addr_base = Ipv4Addr::from_str(addr_base.c_str());
    }
    if (!nth_loopback_address(opts.addr_base, 0) ||
        !nth_loopback_address(opts.addr_base, opts.clients - 1)) {
        *error = "the APs' addresses must stay in 127.0.0.0/8: --addr-base";
        return std::nullopt;
    }
    if (!mac_base.empty()) {
        opts.mac_base = MacAddr::from_str(mac_base.c_str());
        if (!opts.mac_base.valid) {
            *error = "bad value for --mac-base: '" + mac_base + "'";
            return std::nullopt;
        }
    }
    return opts;
}

const char* load_usage_text() {
    return "usage: dor-tls-load --port P (--duration S | --rounds N) [OPTIONS]\n"
           "\n"
           "Drives an HTTPS server the way APs do: every request on a new TLS\n"
           "connection, each client a distinct AP with its own source address in\n"
           "127.0.0.0/8, its own MAC in the body and, with --cert-dir, its own client\n"
           "certificate. Prints a JSON summary; latencies are from connect to the end\n"
           "of the answer.\n"
           "\n"
           "  --host ADDR              server address (default 127.0.0.1)\n"
           "  --port P                 server port\n"
           "  --method GET|POST        default POST (with the AP request body)\n"
           "  --path PATH              default /ott/register/ap\n"
           "  --prepare PATH           one untimed POST per AP first (e.g. to be told to\n"
           "                           upgrade before downloading)\n"
           "  --clients N              concurrent APs (default 1)\n"
           "  --duration S             each AP asks again as soon as it is answered, S s\n"
           "  --rounds N               all APs ask at once, N times\n"
           "  --request-timeout-ms N   one request (default 20000)\n"
           "  --run-timeout S          the whole run (default 300)\n"
           "  --addr-base ADDR         first source address (default 127.0.2.1)\n"
           "  --mac-base MAC           first MAC (default 02:b0:00:00:00:01)\n"
           "  --device-type T, --sw-version V, --hw-version H   body members\n"
           "  --cert-dir DIR           client certificate DIR/<BARE MAC>.pem and .key\n"
           "  --server-ca FILE         verify the server's chain with this CA\n"
           "  --expect-status N        default 200; any other status is an error\n"
           "  --expect-text TEXT       the body must contain TEXT\n"
           "  --latencies FILE         one latency in ms per line\n"
           "  --summary FILE           the JSON summary (default standard output)\n"
           "  --label TEXT             copied into the summary\n"
           "  --cpu-pid PID            with --rounds: CPU used by PID while every AP of a\n"
           "                           round waits for its answer\n"
           "  --cpu-settle-ms N        start that window N ms after the last request was\n"
           "                           sent (default 200)\n";
}
