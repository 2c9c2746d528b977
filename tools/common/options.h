#pragma once
// Command lines of the tools: one table of options both parses the arguments
// and lists them in the usage text, so the two cannot drift apart.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace cli {

// Takes an option's value; false refuses it.
using Setter = std::function<bool(const std::string& value)>;

struct Option {
    std::string name;  // "--count"
    std::string arg;   // "N" in the usage; empty for a flag, which takes no value
    // Later lines are indented to the help column. Empty: the option shares
    // the usage line of the next one.
    std::string help;
    Setter set;  // none: only listed ("-h, --help", which the parser knows itself)
};

struct OptionGroup {
    std::string heading;  // empty: none
    size_t column;        // where the help texts start
    std::vector<Option> options;
};

struct CommandLine {
    std::string intro;  // the usage line and what the tool does
    std::vector<OptionGroup> groups;
    std::string outro;
    size_t max_operands = 0;  // arguments that are not options
};

// What a command line asks for besides its option values.
struct Request {
    bool help = false;
    bool version = false;
    std::vector<std::string> operands;
};

// Options come as "--name value" or "--name=value"; a flag ignores a value
// after '='. -h, --help or --version sets `help` or `version` and ends the
// parse; "--" ends the options. False with `error` on an unknown option, a
// missing or refused value, or an operand too many.
bool parse(const CommandLine& line, const std::vector<std::string>& args, Request* request,
           std::string* error);
// The same for a tool without operands or --version.
bool parse(const CommandLine& line, const std::vector<std::string>& args, bool* help,
           std::string* error);

std::string usage_text(const CommandLine& line);

// How the tools end a command line that asks for no run: the usage on
// standard output after --help (status 0), else the error and a pointer to
// --help on standard error (status 2).
int usage_exit(const char* program, const std::string& usage, const std::string* error);

// "<program> (dor_sa) <version>" on standard output, status 0.
int version_exit(const char* program);

std::string bad_value(const std::string& name, const std::string& value);

std::optional<int64_t> parse_number(const std::string& text, int64_t low, int64_t high);

template <class Int>
Setter number(int64_t low, int64_t high, Int& field) {
    return [&field, low, high](const std::string& text) {
        const auto value = parse_number(text, low, high);
        if (value) {
            field = static_cast<Int>(*value);
        }
        return value.has_value();
    };
}

Setter text(std::string& field);  // refuses an empty value
Setter text_or_empty(std::string& field);
Setter flag(bool& field, bool value = true);

}  // namespace cli
