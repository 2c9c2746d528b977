#include "tools/dorctl/cli.h"

#include <cmath>
#include <cstdlib>

namespace dorctl {

namespace {

struct OptionInfo {
    const char* name;
    bool takes_value;
};

// Global ones first; the rest belong to single commands.
constexpr OptionInfo kOptions[] = {
    {"--ipc-dir", true}, {"--timeout", true},     {"--help", false}, {"--version", false},
    {"--json", false},   {"--auto-auth", false},  {"--ca", true},    {"--cert", true},
    {"--key", true},     {"--ap-cert-dir", true},
};

const OptionInfo* find_option(const std::string& name) {
    for (const OptionInfo& option : kOptions) {
        if (name == option.name) {
            return &option;
        }
    }
    return nullptr;
}

// At most a day: the wait is in milliseconds in an int.
bool parse_timeout(const std::string& text, int* ms) {
    char* end = nullptr;
    const double seconds = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !std::isfinite(seconds) || seconds <= 0 ||
        seconds > 86400) {
        return false;
    }
    *ms = static_cast<int>(std::ceil(seconds * 1000));
    return true;
}

bool apply_global(Invocation& inv, const std::string& name, const std::string& value,
                  std::string* error) {
    if (name == "--ipc-dir") {
        if (value.empty()) {
            *error = "--ipc-dir needs a directory";
            return false;
        }
        inv.ipc_dir = value;
    } else if (name == "--timeout") {
        if (!parse_timeout(value, &inv.timeout_ms)) {
            *error = "bad --timeout '" + value + "': expected seconds above 0";
            return false;
        }
        inv.timeout_text = value;
    } else if (name == "--help") {
        inv.help = true;
    } else if (name == "--version") {
        inv.version = true;
    } else {
        inv.options[name] = value;
    }
    return true;
}

}  // namespace

std::optional<Invocation> parse_command_line(const std::vector<std::string>& args,
                                             std::string* error) {
    Invocation inv;
    bool options_done = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (options_done || arg.size() < 2 || arg[0] != '-') {
            (inv.command.empty() ? inv.command : inv.args.emplace_back()) = arg;
            continue;
        }
        if (arg == "--") {
            options_done = true;
            continue;
        }
        if (arg == "-h") {
            inv.help = true;
            continue;
        }
        const size_t eq = arg.find('=');
        const std::string name = arg.substr(0, eq);
        const OptionInfo* option = find_option(name);
        if (!option) {
            *error = "unknown option '" + name + "'";
            return std::nullopt;
        }
        std::string value;
        if (eq != std::string::npos) {
            if (!option->takes_value) {
                *error = "option '" + name + "' takes no value";
                return std::nullopt;
            }
            value = arg.substr(eq + 1);
        } else if (option->takes_value) {
            if (i + 1 >= args.size()) {
                *error = "option '" + name + "' needs a value";
                return std::nullopt;
            }
            value = args[++i];
        }
        if (!apply_global(inv, name, value, error)) {
            return std::nullopt;
        }
    }
    return inv;
}

const char* usage_text() {
    return "usage: dorctl [--ipc-dir DIR] [--timeout SECONDS] COMMAND [ARGS]\n"
           "\n"
           "Talks to a running dor_sa over its IPC socket.\n"
           "\n"
           "Queries:\n"
           "  report                      service report\n"
           "  aps [--json]                the APs the service knows, as a table or JSON\n"
           "  macs                        MAC addresses with their admission status\n"
           "  auth MAC|all                authenticate one waiting AP (waits for its\n"
           "                              certificate result) or every waiting AP\n"
           "  trace-filter status|list    state and MAC set of the trace MAC filter\n"
           "  trace-filter on|off|clear   switch the filter, or empty its MAC set\n"
           "  trace-filter add|del MAC... edit the filter's MAC set\n"
           "  events [--json]             follow AP events and registration time-outs\n"
           "                              until interrupted\n"
           "  status [--json]             endpoints, settings, AP counts, limits in use\n"
           "  metrics                     counters since start, in the Prometheus text\n"
           "                              exposition format\n"
           "\n"
           "Settings (sent without an answer):\n"
           "  ports BASE [--auto-auth]    free endpoint on BASE, authorized on BASE+1;\n"
           "                              --auto-auth admits waiting APs without a command\n"
           "  tls --ca F --cert F --key F --ap-cert-dir D\n"
           "                              TLS files of the authorized endpoint\n"
           "  fw-dir DIR                  directory of firmware images\n"
           "  incoming MODE               accept, reject, maintenance, or a number\n"
           "  reset                       forget every AP and the TLS files\n"
           "  stop                        stop the service\n"
           "  tz-update                   make the service re-read the time zone\n"
           "\n"
           "Options:\n"
           "  --ipc-dir DIR      where the socket is (default: $DOR_IPC_DIR, else /run/dor)\n"
           "  --timeout SECONDS  how long to wait for an answer (default 5)\n"
           "  -h, --help         show this text\n"
           "  --version          show the version\n"
           "\n"
           "Exit status: 0 success, 1 failure answer or error, 2 usage error.\n";
}

}  // namespace dorctl
