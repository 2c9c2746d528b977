#include "tools/common/options.h"

#include <charconv>
#include <cstdio>

#include "dor_version.h"

namespace cli {

namespace {

const Option* find_option(const CommandLine& line, const std::string& name) {
    for (const OptionGroup& group : line.groups) {
        for (const Option& option : group.options) {
            if (option.set && option.name == name) {
                return &option;
            }
        }
    }
    return nullptr;
}

void append_help(std::string& out, const std::string& names, const OptionGroup& group,
                 const std::string& help) {
    out += names;
    // Past the column, a wider gap keeps the help apart from a list of names.
    out.append(names.size() + 2 <= group.column ? group.column - names.size() : 3, ' ');
    for (const char c : help) {
        out += c;
        if (c == '\n') {
            out.append(group.column, ' ');
        }
    }
    out += '\n';
}

}  // namespace

bool parse(const CommandLine& line, const std::vector<std::string>& args, Request* request,
           std::string* error) {
    bool options_done = false;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        if (options_done || name.size() < 2 || name[0] != '-') {
            if (request->operands.size() == line.max_operands) {
                *error = "unexpected argument '" + name + "'";
                return false;
            }
            request->operands.push_back(name);
            continue;
        }
        if (name == "--") {
            options_done = true;
            continue;
        }
        std::optional<std::string> value;
        if (const size_t eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
        }
        if (name == "-h" || name == "--help") {
            request->help = true;
            return true;
        }
        if (name == "--version") {
            request->version = true;
            return true;
        }
        const Option* option = find_option(line, name);
        if (option == nullptr) {
            *error = "unknown option '" + name + "'";
            return false;
        }
        if (!value && !option->arg.empty()) {
            if (i + 1 == args.size()) {
                *error = name + " needs a value";
                return false;
            }
            value = args[++i];
        }
        if (!option->set(value.value_or(""))) {
            *error = bad_value(name, value.value_or(""));
            return false;
        }
    }
    return true;
}

bool parse(const CommandLine& line, const std::vector<std::string>& args, bool* help,
           std::string* error) {
    Request request;
    if (!parse(line, args, &request, error)) {
        return false;
    }
    if (request.version) {
        *error = "unknown option '--version'";
        return false;
    }
    *help = request.help;
    return true;
}

std::string usage_text(const CommandLine& line) {
    std::string out = line.intro;
    for (const OptionGroup& group : line.groups) {
        out += '\n';
        if (!group.heading.empty()) {
            out += group.heading + ":\n";
        }
        std::string names;
        for (const Option& option : group.options) {
            names += (names.empty() ? "  " : ", ") + option.name;
            if (!option.arg.empty()) {
                names += ' ' + option.arg;
            }
            if (!option.help.empty()) {
                append_help(out, names, group, option.help);
                names.clear();
            }
        }
    }
    if (!line.outro.empty()) {
        out += '\n' + line.outro;
    }
    return out;
}

int usage_exit(const char* program, const std::string& usage, const std::string* error) {
    if (error == nullptr) {
        std::fputs(usage.c_str(), stdout);
        return 0;
    }
    std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", program, error->c_str(), program);
    return 2;
}

int version_exit(const char* program) {
    std::printf("%s (dor_sa) %s\n", program, DOR_VERSION_TEXT);
    return 0;
}

std::string bad_value(const std::string& name, const std::string& value) {
    return "bad value for " + name + ": '" + value + "'";
}

std::optional<int64_t> parse_number(const std::string& text, int64_t low, int64_t high) {
    int64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc{} || ptr != end || value < low || value > high) {
        return std::nullopt;
    }
    return value;
}

Setter text(std::string& field) {
    return [&field](const std::string& value) {
        field = value;
        return !value.empty();
    };
}

Setter text_or_empty(std::string& field) {
    return [&field](const std::string& value) {
        field = value;
        return true;
    };
}

Setter flag(bool& field, bool value) {
    return [&field, value](const std::string&) {
        field = value;
        return true;
    };
}

}  // namespace cli
