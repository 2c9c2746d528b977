#include "tools/controller-sim/options.h"

#include <filesystem>

#include "tools/common/options.h"

namespace {

cli::CommandLine command_line(SimOptions& o) {
    using cli::number, cli::flag;
    // An empty value stands for the default, or is refused below as missing.
    const auto text = cli::text_or_empty;
    return {
        "usage: dor-controller-sim [OPTIONS]\n"
        "\n"
        "Plays the controller's other processes for a running dor_sa: configures it,\n"
        "answers firmware checks (136) and credential requests (3) by a policy, issues\n"
        "AP certificates from its own CA for certificate requests (140), and writes AP\n"
        "events (164) and registration time-outs (106) as JSON lines.\n"
        "\n"
        "At start it sends: ports and auto-authentication (130), TLS files (139),\n"
        "firmware directory (138), then incoming connections mode 0 (145). SIGHUP sends\n"
        "them again (after a reset, say).\n",
        {
            {"Required",
             23,
             {
                 {"--ca-cert", "FILE",
                  "CA certificate: the service's CA, and the issuer of AP\ncertificates",
                  text(o.ca_cert)},
                 {"--ca-key", "FILE", "its private key", text(o.ca_key)},
                 {"--server-cert", "FILE", "the authorized endpoint's certificate",
                  text(o.server_cert)},
                 {"--server-key", "FILE", "and its key", text(o.server_key)},
                 {"--ap-cert-dir", "DIR", "stored AP certificates, <SERIAL>.pem",
                  text(o.ap_cert_dir)},
                 {"--delivery-dir", "DIR", "where an AP finds its files, <bare MAC>.pem and .key",
                  text(o.delivery_dir)},
                 {"--fw-dir", "DIR", "firmware images", text(o.fw_dir)},
             }},
            {"Options",
             25,
             {
                 {"--ipc-dir", "DIR", "IPC directory (default: $DOR_IPC_DIR, else /run/dor)",
                  text(o.ipc_dir)},
                 {"--base-port", "N", "free endpoint port; authorized is N+1 (default 8043)",
                  number(1, 65534, o.base_port)},
                 {"--auto-auth", "", "admit waiting APs without the administrator",
                  flag(o.auto_auth)},
                 {"--policy", "FILE", "answers by MAC and device type (below)",
                  text(o.policy_file)},
                 {"--check-delay-ms", "N", "answer firmware checks after N ms (default 0)",
                  number(0, 3600000, o.check_delay_ms)},
                 {"--cert-delay-ms", "N", "answer certificate requests after N ms (default 0)",
                  number(0, 3600000, o.cert_delay_ms)},
                 {"--connect-timeout", "S", "wait up to S seconds for the service (default 10)",
                  number(0, 3600, o.connect_timeout_s)},
                 {"--events", "FILE", "JSON lines of AP events (default: standard output)",
                  text(o.events_file)},
                 {"--quiet", "", "no action lines on standard error", flag(o.quiet)},
                 {"-h, --help", "", "this text", {}},
                 {"--version", "", "the version", {}},
             }},
        },
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
        "1 on an error, 2 on a usage error.\n",
    };
}

}  // namespace

std::optional<SimOptions> parse_sim_options(const std::vector<std::string>& args,
                                            std::string* error) {
    SimOptions opts;
    cli::Request request;
    if (!cli::parse(command_line(opts), args, &request, error)) {
        return std::nullopt;
    }
    opts.help = request.help;
    opts.version = request.version;
    if (opts.help || opts.version) {
        return opts;
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

std::string sim_usage_text() {
    SimOptions unused;
    return cli::usage_text(command_line(unused));
}
