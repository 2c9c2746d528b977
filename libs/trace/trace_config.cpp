#include "libs/trace/trace_config.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "libs/cfg/cfg.h"

namespace {

constexpr size_t kMaxConfigBytes = 1 << 20;
constexpr uint32_t kMaxLimited = 16u << 20;

struct TreeRelease {
    void operator()(lcw_data_t* tree) const { cfg_release(tree); }
};
using Tree = std::unique_ptr<lcw_data_t, TreeRelease>;

struct Fd {
    int fd;
    explicit Fd(int opened) : fd(opened) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

std::string errno_text(int err) {
    return std::strerror(err);
}

// Reads the file; nullopt with `problem` empty when it does not exist.
std::optional<std::string> read_file(const std::string& path, std::string& problem) {
    Fd file{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (file.fd < 0) {
        if (errno != ENOENT) {
            problem = "cannot open: " + errno_text(errno);
        }
        return std::nullopt;
    }
    std::string text;
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(file.fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            problem = "cannot read: " + errno_text(errno);
            return std::nullopt;
        }
        if (n == 0) {
            return text;
        }
        text.append(buf, static_cast<size_t>(n));
        if (text.size() > kMaxConfigBytes) {
            problem = "larger than " + std::to_string(kMaxConfigBytes) + " bytes";
            return std::nullopt;
        }
    }
}

// Fills `settings` from the tree; the problem text, or empty when all is well.
std::string apply_tree(lcw_data_t* root, TraceSettings& settings) {
    if (cfg_node_type(root) != CFG_OBJECT) {
        return "not a JSON object";
    }
    size_t known = 0;
    if (cfg_param_type(root, "categories") != CFG_ABSENT) {
        ++known;
        lcw_data_t* categories = cfg_get_subtree_from_path(root, "categories");
        if (cfg_node_type(categories) != CFG_OBJECT) {
            return "\"categories\" is not an object";
        }
        size_t named = 0;
        for (int i = 0; i < kTraceCategoryCount; ++i) {
            const char* name = trace_category_name(static_cast<TraceCategory>(i));
            if (cfg_param_type(categories, name) == CFG_ABSENT) {
                continue;
            }
            ++named;
            bool on = false;
            if (!cfg_get_boolean_param(categories, name, &on)) {
                return std::string("category \"") + name + "\" is not true or false";
            }
            settings.enabled[static_cast<size_t>(i)] = on;
        }
        if (named != cfg_size(categories)) {
            return "unknown category in \"categories\"";
        }
    }
    if (cfg_param_type(root, "limited_max") != CFG_ABSENT) {
        ++known;
        uint32_t limit = cfg_get_uint32_param(root, "limited_max");
        if (cfg_param_type(root, "limited_max") != CFG_INTEGER || limit == 0 ||
            limit > kMaxLimited) {
            return "\"limited_max\" is not an integer in 1.." + std::to_string(kMaxLimited);
        }
        settings.limited_max = limit;
    }
    std::string output = "stderr";
    if (cfg_param_type(root, "output") != CFG_ABSENT) {
        ++known;
        const char* text = cfg_get_param(root, "output");
        if (text == nullptr || *text == '\0') {
            return "\"output\" is not a non-empty string";
        }
        output = text;
    }
    if (known != cfg_size(root)) {
        return "unknown member (known: \"categories\", \"output\", \"limited_max\")";
    }
    // Opened last, so a refused file never creates an output file.
    if (output == "stdout") {
        settings.output = TraceOutput::standard_output();
    } else if (output != "stderr") {
        settings.output = TraceOutput::open_file(output);
        if (!settings.output) {
            return "cannot open output " + output + ": " + errno_text(errno);
        }
    }
    return {};
}

}  // namespace

std::shared_ptr<const TraceOutput> TraceOutput::standard_error() {
    static const auto out = std::make_shared<const TraceOutput>(STDERR_FILENO, false);
    return out;
}

std::shared_ptr<const TraceOutput> TraceOutput::standard_output() {
    static const auto out = std::make_shared<const TraceOutput>(STDOUT_FILENO, false);
    return out;
}

std::shared_ptr<const TraceOutput> TraceOutput::open_file(const std::string& path) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
    if (fd < 0) {
        return nullptr;
    }
    return std::make_shared<const TraceOutput>(fd, true);
}

TraceOutput::~TraceOutput() {
    if (owned_) {
        ::close(fd_);
    }
}

void TraceOutput::write_all(int fd, std::string_view line) noexcept {
    while (!line.empty()) {
        ssize_t n = ::write(fd, line.data(), line.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;  // nowhere left to report it
        }
        line.remove_prefix(static_cast<size_t>(n));
    }
}

TraceSettings TraceSettings::defaults() {
    TraceSettings settings;
    settings.enabled.fill(true);
    settings.enabled[static_cast<size_t>(TraceCategory::AP_UNSECURE)] = false;
    settings.output = TraceOutput::standard_error();
    return settings;
}

std::string trace_config_path() {
    const char* path = std::getenv(kTraceConfigEnv);
    return path != nullptr && *path != '\0' ? path : kTraceConfigDefaultPath;
}

TraceConfigLoad load_trace_config(const std::string& path) {
    TraceConfigLoad load{TraceSettings::defaults(), {}};
    std::optional<std::string> text = read_file(path, load.problem);
    if (!text) {
        return load;
    }
    if (text->find('\0') != std::string::npos) {
        load.problem = "holds a NUL byte";
        return load;
    }
    Tree root(cfg_parse_buffer(text->c_str()));
    if (!root) {
        load.problem = "not valid JSON";
        return load;
    }
    TraceSettings settings = TraceSettings::defaults();
    load.problem = apply_tree(root.get(), settings);
    if (load.problem.empty()) {
        load.settings = std::move(settings);
    }
    return load;
}
