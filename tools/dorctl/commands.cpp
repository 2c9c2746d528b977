#include "tools/dorctl/commands.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <ostream>

#include "controller/mac_filter.h"
#include "libs/common/incoming_connections.h"
#include "libs/ipc/ipc_client.h"
#include "libs/ipc/ipc_port.h"
#include "libs/ipc/messages.h"
#include "tools/dorctl/cli.h"
#include "tools/dorctl/output.h"
#include "tools/dorctl/views.h"

namespace dorctl {

namespace {

// Thrown for a command line the command cannot take; ends with status 2.
struct UsageError {
    std::string text;
};

class Session {
  public:
    Session(const Invocation& inv, std::ostream& out, std::ostream& err,
            const std::atomic<bool>& stop)
        : inv(inv), out(out), err(err), stop(stop) {}

    // Subscribes to exactly `reply_types`: replies to other peers' requests
    // reach every subscriber of their type.
    bool connect(const std::vector<uint32_t>& reply_types) {
        const std::string dir = inv.ipc_dir.empty() ? ipc_default_dir() : inv.ipc_dir;
        std::string error;
        if (!client.connect(dir, SA_PORT_ID, &error)) {
            err << "dorctl: " << error << "\n";
            return false;
        }
        if (!reply_types.empty() && !client.subscribe(reply_types)) {
            err << "dorctl: cannot subscribe to dor_sa's answers\n";
            return false;
        }
        return true;
    }

    bool send(const IMsg& msg) {
        if (client.send(msg) != IPC_OK) {
            err << "dorctl: cannot send to dor_sa: connection lost\n";
            return false;
        }
        return true;
    }

    // Sends `request` and waits for one message of class Reply.
    template <class Reply>
    std::shared_ptr<Reply> ask(const IMsg& request) {
        if (!connect({Reply::kType}) || !send(request)) {
            return nullptr;
        }
        return await<Reply>();
    }

    // The next message of class Reply on a connected session.
    template <class Reply>
    std::shared_ptr<Reply> await() {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(inv.timeout_ms);
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            std::string error;
            auto msg = client.receive(static_cast<int>(std::max<int64_t>(left.count(), 0)), &error);
            if (auto reply = std::dynamic_pointer_cast<Reply>(msg)) {
                return reply;
            }
            if (msg) {
                continue;
            }
            if (error == "timeout") {
                err << "dorctl: no answer from dor_sa within " << inv.timeout_text << " s\n";
            } else {
                err << "dorctl: dor_sa closed the connection (" << error << ")\n";
            }
            return nullptr;
        }
    }

    const Invocation& inv;
    std::ostream& out;
    std::ostream& err;
    const std::atomic<bool>& stop;
    IpcClient client;
};

std::string text_of(const SharedString& text) {
    return text ? *text : "";
}

// Whether the service's JSON answer says it did what was asked.
bool json_member_is(const std::string& text, const char* key, const char* expected) {
    return json_string_member(text, key) == expected;
}

int print_json(Session& s, const SharedString& text, bool ok) {
    s.out << pretty_json(text_of(text));
    return ok ? kExitOk : kExitFailure;
}

// Paths travel to a service that may run elsewhere: make them absolute.
std::string absolute(const std::string& path) {
    std::error_code ec;
    const auto full = std::filesystem::absolute(path, ec);
    return ec ? path : full.lexically_normal().string();
}

uint32_t parse_number(const std::string& text, uint64_t max, const char* what) {
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
    if (text.empty() || text[0] == '-' || *end != '\0' || errno != 0 || value > max) {
        throw UsageError{std::string("bad ") + what + " '" + text + "'"};
    }
    return static_cast<uint32_t>(value);
}

int cmd_report(Session& s) {
    auto reply = s.ask<IPC_MSG__SA_REPORT_RESP>(IPC_MSG__SA_REPORT_REQ{});
    if (!reply) {
        return kExitFailure;
    }
    return print_json(s, reply->text, !json_member_is(text_of(reply->text), "error", "true"));
}

int cmd_aps(Session& s) {
    auto reply = s.ask<IPC_MSG__SA_GET_APS_RESP>(IPC_MSG__SA_GET_APS{});
    if (!reply) {
        return kExitFailure;
    }
    s.out << (s.inv.has("--json") ? ap_json(reply->aps) : ap_table(reply->aps));
    return kExitOk;
}

int cmd_macs(Session& s) {
    auto reply = s.ask<IPC_MSG__SA_AP_MACLIST_RESP>(IPC_MSG__SA_AP_MACLIST{});
    if (!reply) {
        return kExitFailure;
    }
    return print_json(s, reply->text, json_member_is(text_of(reply->text), "status", "success"));
}

// The answer names no AP it admitted, and stays as it is for the controller:
// for "all" the waiting APs are listed just before asking. An AP that starts
// waiting between the two is admitted without being named here.
int cmd_auth(Session& s) {
    const std::string& target = s.inv.args[0];
    const bool all = target == "all";
    std::shared_ptr<IPC_MSG__SA_GET_APS_RESP> before;
    if (all) {
        if (!s.connect({IPC_MSG__SA_GET_APS_RESP::kType, IPC_MSG__AUTH_AP_RESP::kType}) ||
            !s.send(IPC_MSG__SA_GET_APS{}) || !(before = s.await<IPC_MSG__SA_GET_APS_RESP>())) {
            return kExitFailure;
        }
    } else if (!s.connect({IPC_MSG__AUTH_AP_RESP::kType})) {
        return kExitFailure;
    }
    IPC_MSG__AUTH_AP request;
    request.target = make_shared_string(target);
    if (!s.send(request)) {
        return kExitFailure;
    }
    const auto reply = s.await<IPC_MSG__AUTH_AP_RESP>();
    if (!reply) {
        return kExitFailure;
    }
    const std::string answer = text_of(reply->text);
    const int status = print_json(s, reply->text, json_member_is(answer, "status", "success"));
    s.out << (all ? auth_all_summary(before->aps, answer) : auth_one_summary(target, answer));
    return status;
}

std::vector<MacAddr> macs_of(const std::vector<std::string>& texts) {
    std::vector<MacAddr> macs;
    for (const auto& text : texts) {
        const MacAddr mac = MacAddr::from_str(text.c_str(), text.size());
        if (!mac.valid) {
            throw UsageError{"not a MAC address: '" + text + "'"};
        }
        macs.push_back(mac);
    }
    return macs;
}

int cmd_trace_filter(Session& s) {
    static const std::map<std::string, MacFilterAction> kActions = {
        {"on", MAC_FILTER_ENABLE},   {"off", MAC_FILTER_DISABLE},   {"add", MAC_FILTER_ADD},
        {"del", MAC_FILTER_REMOVE},  {"status", MAC_FILTER_STATUS}, {"list", MAC_FILTER_LIST},
        {"clear", MAC_FILTER_CLEAR},
    };
    const auto& args = s.inv.args;
    const auto found = kActions.find(args[0]);
    if (found == kActions.end()) {
        throw UsageError{"unknown trace-filter action '" + args[0] + "'"};
    }
    const bool takes_macs = found->second == MAC_FILTER_ADD || found->second == MAC_FILTER_REMOVE;
    if (takes_macs != (args.size() > 1)) {
        throw UsageError{takes_macs ? "trace-filter " + args[0] + " needs MAC addresses"
                                    : "trace-filter " + args[0] + " takes no arguments"};
    }
    IPC_MSG__MAC_FILTER request;
    request.action = found->second;
    if (takes_macs) {
        std::string list;
        for (const MacAddr& mac : macs_of({args.begin() + 1, args.end()})) {
            // Appended piecewise: GCC 12 at -O3 takes the temporary for an
            // overlapping copy (a false -Wrestrict).
            if (!list.empty()) {
                list += ' ';
            }
            list += mac.str();
        }
        request.macs = make_shared_string(list);
    }
    auto reply = s.ask<IPC_MSG__MAC_FILTER_RESP>(request);
    if (!reply) {
        return kExitFailure;
    }
    return print_json(s, reply->result, json_bool_member(text_of(reply->result), "error") == false);
}

int send_only(Session& s, const IMsg& msg) {
    return s.connect({}) && s.send(msg) ? kExitOk : kExitFailure;
}

int cmd_ports(Session& s) {
    IPC_MSG__SA_PORTS msg;
    // The authorized endpoint listens on the next port.
    msg.base_port = parse_number(s.inv.args[0], 65534, "base port");
    if (msg.base_port == 0) {
        throw UsageError{"bad base port '0'"};
    }
    msg.auto_auth = s.inv.has("--auto-auth") ? 1 : 0;
    return send_only(s, msg);
}

int cmd_tls(Session& s) {
    IPC_MSG__SA_TLS_FILES msg;
    const std::pair<const char*, SharedString*> fields[] = {
        {"--ca", &msg.ca_file},
        {"--cert", &msg.cert_file},
        {"--key", &msg.key_file},
        {"--ap-cert-dir", &msg.ap_cert_dir},
    };
    for (const auto& [option, field] : fields) {
        const auto value = s.inv.options.find(option);
        if (value == s.inv.options.end() || value->second.empty()) {
            throw UsageError{std::string("tls needs ") + option};
        }
        *field = make_shared_string(absolute(value->second));
    }
    return send_only(s, msg);
}

int cmd_fw_dir(Session& s) {
    IPC_MSG__SA_FW_DIR msg;
    msg.dir = make_shared_string(absolute(s.inv.args[0]));
    return send_only(s, msg);
}

int cmd_incoming(Session& s) {
    static const std::map<std::string, uint32_t> kModes = {
        {"accept", INCOMING_CONNECTIONS_ACCEPT},
        {"reject", INCOMING_CONNECTIONS_REJECT},
        {"maintenance", INCOMING_CONNECTIONS_REJECT_MAINTENANCE},
    };
    IPC_MSG__INCOMING_CONNECTIONS msg;
    const auto found = kModes.find(s.inv.args[0]);
    msg.mode =
        found != kModes.end() ? found->second : parse_number(s.inv.args[0], UINT32_MAX, "mode");
    return send_only(s, msg);
}

int cmd_reset(Session& s) {
    return send_only(s, IPC_MSG__SA_RESET{});
}

int cmd_stop(Session& s) {
    return send_only(s, IPC_MSG__STOP{});
}

int cmd_tz_update(Session& s) {
    return send_only(s, IPC_MSG__TZ_UPDATE{});
}

int cmd_events(Session& s) {
    if (!s.connect({IPC_MSG__SA_AP_EVENT::kType, IPC_MSG__SA_AP_REG_TIMEOUT::kType})) {
        return kExitFailure;
    }
    const bool json = s.inv.has("--json");
    // Short waits so that an interruption is seen promptly.
    constexpr int kPollMs = 100;
    while (!s.stop.load()) {
        std::string error;
        auto msg = s.client.receive(kPollMs, &error);
        if (!msg) {
            if (error == "timeout") {
                continue;
            }
            s.err << "dorctl: dor_sa closed the connection (" << error << ")\n";
            return kExitFailure;
        }
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        if (auto event = std::dynamic_pointer_cast<IPC_MSG__SA_AP_EVENT>(msg)) {
            s.out << event_line(*event, now, json) << std::endl;
        } else if (auto timeout = std::dynamic_pointer_cast<IPC_MSG__SA_AP_REG_TIMEOUT>(msg)) {
            s.out << reg_timeout_line(text_of(timeout->mac), now, json) << std::endl;
        }
        if (!s.out) {
            return kExitFailure;  // the reader has gone
        }
    }
    return kExitOk;
}

// The extension replies: JSON, or what the views make of it.
template <class Request, class Reply>
int print_view(Session& s, std::optional<std::string> (*view)(const std::string&)) {
    auto reply = s.ask<Reply>(Request{});
    if (!reply) {
        return kExitFailure;
    }
    const auto text =
        view != nullptr ? view(text_of(reply->json)) : pretty_json(text_of(reply->json));
    if (!text) {
        s.err << "dorctl: unreadable answer from dor_sa\n";
        return kExitFailure;
    }
    s.out << *text;
    return kExitOk;
}

int cmd_status(Session& s) {
    return print_view<IPC_MSG__EXT_STATUS_REQ, IPC_MSG__EXT_STATUS_RESP>(
        s, s.inv.has("--json") ? nullptr : status_summary);
}

int cmd_metrics(Session& s) {
    return print_view<IPC_MSG__EXT_METRICS_REQ, IPC_MSG__EXT_METRICS_RESP>(s, metrics_text);
}

struct Command {
    const char* name;
    size_t min_args;
    size_t max_args;
    std::vector<std::string> options;
    int (*run)(Session&);
};

const std::vector<Command>& commands() {
    constexpr size_t kMany = SIZE_MAX;
    static const std::vector<Command> kCommands = {
        {"report", 0, 0, {}, cmd_report},
        {"aps", 0, 0, {"--json"}, cmd_aps},
        {"macs", 0, 0, {}, cmd_macs},
        {"auth", 1, 1, {}, cmd_auth},
        {"ports", 1, 1, {"--auto-auth"}, cmd_ports},
        {"tls", 0, 0, {"--ca", "--cert", "--key", "--ap-cert-dir"}, cmd_tls},
        {"fw-dir", 1, 1, {}, cmd_fw_dir},
        {"incoming", 1, 1, {}, cmd_incoming},
        {"reset", 0, 0, {}, cmd_reset},
        {"stop", 0, 0, {}, cmd_stop},
        {"tz-update", 0, 0, {}, cmd_tz_update},
        {"trace-filter", 1, kMany, {}, cmd_trace_filter},
        {"events", 0, 0, {"--json"}, cmd_events},
        {"status", 0, 0, {"--json"}, cmd_status},
        {"metrics", 0, 0, {}, cmd_metrics},
    };
    return kCommands;
}

const Command& checked_command(const Invocation& inv) {
    if (inv.command.empty()) {
        throw UsageError{"no command given"};
    }
    for (const Command& command : commands()) {
        if (inv.command != command.name) {
            continue;
        }
        if (inv.args.size() < command.min_args || inv.args.size() > command.max_args) {
            throw UsageError{"wrong number of arguments for '" + inv.command + "'"};
        }
        for (const auto& [option, value] : inv.options) {
            if (std::find(command.options.begin(), command.options.end(), option) ==
                command.options.end()) {
                throw UsageError{"'" + inv.command + "' takes no option " + option};
            }
        }
        return command;
    }
    throw UsageError{"unknown command '" + inv.command + "'"};
}

}  // namespace

int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
        const std::atomic<bool>& stop) {
    std::string error;
    const std::optional<Invocation> inv = parse_command_line(args, &error);
    if (inv && inv->help) {
        out << usage_text();
        return kExitOk;
    }
    try {
        if (!inv) {
            throw UsageError{error};
        }
        const Command& command = checked_command(*inv);
        Session session(*inv, out, err, stop);
        return command.run(session);
    } catch (const UsageError& usage) {
        if (inv && inv->command.empty()) {
            err << usage_text();
        } else {
            err << "dorctl: " << usage.text << "\nTry 'dorctl --help' for more information.\n";
        }
        return kExitUsage;
    }
}

}  // namespace dorctl
