#pragma once
// Command line of dorctl: global options, the command and its arguments.

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace dorctl {

struct Invocation {
    std::string ipc_dir;  // empty: DOR_IPC_DIR, else the default directory
    int timeout_ms = 5000;
    std::string timeout_text = "5";  // as given, for messages
    bool help = false;
    bool version = false;
    std::string command;
    std::vector<std::string> args;
    // Command options by name ("--json"); flags hold "".
    std::map<std::string, std::string> options;

    bool has(const std::string& option) const { return options.count(option) != 0; }
};

// Options are accepted anywhere, as "--name value" or "--name=value"; "--"
// ends them. Null with `error` set on a malformed line; whether the command
// takes its options and arguments is checked by the command table.
std::optional<Invocation> parse_command_line(const std::vector<std::string>& args,
                                             std::string* error);

const char* usage_text();

}  // namespace dorctl
