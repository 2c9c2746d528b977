#include "tools/ap-sim/options.h"

#include <algorithm>
#include <fstream>
#include <sstream>

#include "tools/common/options.h"

namespace {

// What the command line fills in before the checks across options.
struct Given {
    ApSimOptions opts;
    PlanDefaults defaults;
    int count = 1;
    int auth_port = 0;
    std::string mix;
    std::string plan_file;
    std::string mac_base;
    std::string load;
};

cli::CommandLine command_line(Given& g) {
    RunConfig& run = g.opts.run;
    using cli::number, cli::text, cli::flag;
    return {
        "usage: dor-ap-sim [OPTIONS]\n"
        "\n"
        "Simulates access points against a running dor_sa. Each AP has its own MAC and\n"
        "its own source address in 127.0.0.0/8 and runs the whole dialogue: register on\n"
        "the free endpoint; on an upgrade order download the image below /fw, check it\n"
        "and come back with its version; on authentication required poll /ott/wait/ap\n"
        "until its certificate appears in the delivery directory; then register on the\n"
        "authorized endpoint with that certificate, take its credentials and report\n"
        "ready. An AP whose certificate is already delivered starts there. Every\n"
        "request is a new HTTP/1.1 connection.\n",
        {
            {"Which APs",
             25,
             {
                 {"--count", "N", "N APs (default 1) of --device-type/--sw-version",
                  number(1, 100000, g.count)},
                 {"--device-type", "T", "default dor-ap110", text(g.defaults.device_type)},
                 {"--sw-version", "V", "default 1.0.0", text(g.defaults.sw_version)},
                 {"--hw-version", "V", "default A1", text(g.defaults.hw_version)},
                 {"--mix", "LIST", "TYPE:VERSION[:COUNT],... e.g. dor-ap110:2.1.0:17,x9:1.0",
                  text(g.mix)},
                 {"--plan", "FILE",
                  "JSON: {\"aps\": [{\"count\": 3, \"mac\": M, \"address\": A,\n"
                  "\"device-type\": T, \"sw-version\": V, \"hw-version\": H,\n"
                  "\"abort-downloads\": N}, ...]}, every member optional",
                  text(g.plan_file)},
                 {"--mac-base", "MAC", "first MAC handed out (default 02:d0:00:00:00:01)",
                  text(g.mac_base)},
                 {"--addr-base", "ADDR", "first source address (default 127.0.1.1)",
                  text(g.defaults.addr_base)},
                 {"--abort-downloads", "N", "break each AP's first N downloads halfway",
                  number(0, 100, g.defaults.abort_downloads)},
             }},
            {"Where",
             25,
             {
                 {"--free-port", "P", "free endpoint (default 8043)",
                  number(1, 65535, run.free_port)},
                 {"--auth-port", "P", "authorized endpoint (default free port + 1)",
                  number(1, 65535, g.auth_port)},
                 {"--host", "ADDR", "service address (default 127.0.0.1)", text(run.host)},
                 {"--server-ca", "FILE", "verify the authorized endpoint with this CA",
                  text(run.server_ca)},
                 {"--server-name", "NAME", "its name in the certificate (default localhost)",
                  text(run.server_name)},
                 {"--delivery-dir", "DIR", "where certificates arrive: <bare MAC>.pem and .key",
                  text(run.delivery_dir)},
             }},
            {"How",
             25,
             {
                 {"--poll-ms", "N", "between /ott/wait/ap polls (default 200)",
                  number(1, 600000, run.journey.poll_ms)},
                 {"--retries", "N", "restart a journey after an error N times (default 0)",
                  number(0, 1000, run.journey.retries)},
                 {"--retry-ms", "N", "pause before a restart or a new download (default 500)",
                  number(0, 600000, run.journey.retry_ms)},
                 {"--backoff", "",
                  "instead of --retries, as real APs do: after any error try\n"
                  "the same step again until --timeout (from the start only\n"
                  "when the service no longer knows the AP), pausing a time\n"
                  "drawn uniformly in [0, cap]; the cap doubles with each\n"
                  "error in a row from 0.5 s up to 30 s",
                  flag(run.journey.backoff)},
                 {"--concurrency", "N", "requests in flight at most (default 64)",
                  number(1, 10000, run.concurrency)},
                 {"--at-once", "N",
                  "APs on their journey at a time, the next one starting as\n"
                  "one ends (default 0: all from the start)",
                  number(0, 100000, run.at_once)},
                 {"--timeout", "S", "the whole run (default 60)", number(1, 86400, run.timeout_s)},
                 {"--request-timeout", "S", "one request (default 20)",
                  number(1, 3600, run.request_timeout_s)},
                 {"--load", "register|ready",
                  "repeat one request kind instead of finishing ('ready'\n"
                  "after a first whole journey) ...",
                  text(g.load)},
                 {"--duration", "S", "... for S seconds", number(1, 86400, run.load_duration_s)},
             }},
            {"Output",
             25,
             {
                 {"--json", "", "a JSON document instead of the table and summary",
                  flag(g.opts.json)},
                 {"--no-table", "", "the summary only", flag(g.opts.table, false)},
                 {"--out", "FILE", "write it to FILE instead of standard output", text(g.opts.out)},
                 {"--quiet", "", "no progress line (shown only on a terminal anyway)",
                  flag(g.opts.quiet)},
                 {"--admissions", "FILE",
                  "write each admission to FILE: seconds from the start and\n"
                  "APs admitted so far",
                  text(run.admissions_file)},
                 {"-h, --help", "", "this text", {}},
                 {"--version", "", "the version", {}},
             }},
        },
        "Outcomes: admitted, refused (4026), tls-refused (the authorized endpoint refused\n"
        "the certificate: a TLS alert, or closed after the handshake without an answer),\n"
        "limit-refused (closed before any TLS from the server, or a request on the free\n"
        "endpoint closed without an answer: a connection or request limit), error,\n"
        "download-failed, timed-out, stopped (load mode or interrupted). With --backoff\n"
        "an AP still failing at --timeout ends with its last failure.\n"
        "Exit status: 0 when every AP ended admitted or refused (or was stopped at the\n"
        "end of a load run), 1 otherwise, 2 on a usage error.\n",
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
    Given g;
    g.defaults.mac_base = MacAddr::from_str("02:d0:00:00:00:01");
    cli::Request request;
    if (!cli::parse(command_line(g), args, &request, error)) {
        return std::nullopt;
    }
    g.opts.help = request.help;
    g.opts.version = request.version;
    if (g.opts.help || g.opts.version) {
        return std::move(g.opts);
    }
    RunConfig& run = g.opts.run;
    PlanDefaults& defaults = g.defaults;
    run.auth_port = g.auth_port != 0 ? g.auth_port : run.free_port + 1;
    if (!g.mac_base.empty()) {
        defaults.mac_base = MacAddr::from_str(g.mac_base.c_str());
        if (!defaults.mac_base.valid) {
            *error = cli::bad_value("--mac-base", g.mac_base);
            return std::nullopt;
        }
    }
    if (g.load == "register" || g.load == "ready") {
        run.journey.load = g.load == "register" ? LoadKind::REGISTER : LoadKind::READY;
        if (run.load_duration_s == 0) {
            *error = "--load needs --duration";
            return std::nullopt;
        }
        run.timeout_s = std::max(run.timeout_s, run.load_duration_s);
    } else if (!g.load.empty()) {
        *error = "--load takes register or ready";
        return std::nullopt;
    } else if (run.load_duration_s != 0) {
        *error = "--duration goes with --load";
        return std::nullopt;
    }
    if (run.journey.backoff && run.journey.retries != 0) {
        *error = "--backoff and --retries exclude each other";
        return std::nullopt;
    }
    if (run.delivery_dir.empty() && run.journey.load != LoadKind::REGISTER) {
        *error = "--delivery-dir is required";
        return std::nullopt;
    }
    if (!g.mix.empty() && !g.plan_file.empty()) {
        *error = "--mix and --plan exclude each other";
        return std::nullopt;
    }
    std::optional<std::vector<PlanGroup>> groups;
    if (!g.plan_file.empty()) {
        const auto content = read_file(g.plan_file);
        if (!content) {
            *error = "cannot read " + g.plan_file;
            return std::nullopt;
        }
        std::string why;
        groups = parse_plan(*content, &why);
        if (!groups) {
            *error = g.plan_file + ": " + why;
            return std::nullopt;
        }
    } else if (!g.mix.empty()) {
        groups = parse_mix(g.mix, error);
        if (!groups) {
            return std::nullopt;
        }
    } else {
        groups = std::vector<PlanGroup>{PlanGroup{g.count, {}, {}, {}, {}, {}, {}}};
    }
    auto aps = expand_plan(*groups, defaults, error);
    if (!aps) {
        return std::nullopt;
    }
    run.aps = std::move(*aps);
    return std::move(g.opts);
}

std::string ap_sim_usage_text() {
    Given unused;
    return cli::usage_text(command_line(unused));
}
