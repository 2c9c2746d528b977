#include "bench/load/load_options.h"

#include "tools/common/options.h"

namespace {

// What the command line fills in before the checks across options.
struct Given {
    LoadOptions opts;
    std::string addr_base;
    std::string mac_base;
};

cli::CommandLine command_line(Given& g) {
    LoadOptions& o = g.opts;
    using cli::number, cli::text;
    return {
        "usage: dor-tls-load --port P (--duration S | --rounds N) [OPTIONS]\n"
        "\n"
        "Drives an HTTPS server the way APs do: every request on a new TLS\n"
        "connection, each client a distinct AP with its own source address in\n"
        "127.0.0.0/8, its own MAC in the body and, with --cert-dir, its own client\n"
        "certificate. Prints a JSON summary; latencies are from connect to the end\n"
        "of the answer.\n",
        {{"",
          27,
          {
              {"--host", "ADDR", "server address (default 127.0.0.1)", text(o.host)},
              {"--port", "P", "server port", number(1, 65535, o.port)},
              {"--method", "GET|POST", "default POST (with the AP request body)", text(o.method)},
              {"--path", "PATH", "default /ott/register/ap", text(o.path)},
              {"--prepare", "PATH",
               "one untimed POST per AP first (e.g. to be told to\n"
               "upgrade before downloading)",
               text(o.prepare_path)},
              {"--clients", "N", "concurrent APs (default 1)", number(1, 1000, o.clients)},
              {"--duration", "S", "each AP asks again as soon as it is answered, S s",
               number(1, 3600, o.duration_s)},
              {"--rounds", "N", "all APs ask at once, N times", number(1, 1000, o.rounds)},
              {"--request-timeout-ms", "N", "one request (default 20000)",
               number(1, 600000, o.request_timeout_ms)},
              {"--run-timeout", "S", "the whole run (default 300)",
               number(1, 86400, o.run_timeout_s)},
              {"--addr-base", "ADDR", "first source address (default 127.0.2.1)",
               text(g.addr_base)},
              {"--mac-base", "MAC", "first MAC (default 02:b0:00:00:00:01)", text(g.mac_base)},
              {"--device-type", "T", "", text(o.body.device_type)},
              {"--sw-version", "V", "", text(o.body.sw_version)},
              {"--hw-version", "H", "body members", text(o.body.hw_version)},
              {"--cert-dir", "DIR", "client certificate DIR/<BARE MAC>.pem and .key",
               text(o.cert_dir)},
              {"--server-ca", "FILE", "verify the server's chain with this CA", text(o.server_ca)},
              {"--expect-status", "N", "default 200; any other status is an error",
               number(100, 599, o.expect_status)},
              {"--expect-text", "TEXT", "the body must contain TEXT", text(o.expect_text)},
              {"--latencies", "FILE", "one latency in ms per line", text(o.latencies_out)},
              {"--summary", "FILE", "the JSON summary (default standard output)",
               text(o.summary_out)},
              {"--label", "TEXT", "copied into the summary", text(o.label)},
              {"--cpu-pid", "PID",
               "with --rounds: CPU used by PID while every AP of a\n"
               "round waits for its answer",
               number(1, 1 << 30, o.cpu_pid)},
              {"--cpu-settle-ms", "N",
               "start that window N ms after the last request was\n"
               "sent (default 200)",
               number(0, 60000, o.cpu_settle_ms)},
          }}},
        "",
    };
}

}  // namespace

std::optional<LoadOptions> parse_load_options(const std::vector<std::string>& args,
                                              std::string* error) {
    Given g;
    LoadOptions& opts = g.opts;
    if (!cli::parse(command_line(g), args, &opts.help, error)) {
        return std::nullopt;
    }
    if (opts.help) {
        return opts;
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
    if (!g.addr_base.empty()) {
        opts.addr_base = Ipv4Addr::from_str(g.addr_base.c_str());
    }
    if (!nth_loopback_address(opts.addr_base, 0) ||
        !nth_loopback_address(opts.addr_base, opts.clients - 1)) {
        *error = "the APs' addresses must stay in 127.0.0.0/8: --addr-base";
        return std::nullopt;
    }
    if (!g.mac_base.empty()) {
        opts.mac_base = MacAddr::from_str(g.mac_base.c_str());
        if (!opts.mac_base.valid) {
            *error = cli::bad_value("--mac-base", g.mac_base);
            return std::nullopt;
        }
    }
    return opts;
}

std::string load_usage_text() {
    Given unused;
    return cli::usage_text(command_line(unused));
}
