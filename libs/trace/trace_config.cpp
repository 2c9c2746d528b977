#include "libs/trace/trace_config.h"

#include <fcntl.h>
#include <syslog.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>

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
std::string apply_tree(lcw_data_t* root, const std::string& identifier, TraceSettings& settings) {
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
    } else if (output == "journal") {
        settings.output = TraceOutput::journal(identifier);
    } else if (output == "syslog") {
        settings.output = TraceOutput::syslog(identifier);
    } else if (output != "stderr") {
        settings.output = TraceOutput::open_file(output);
        if (!settings.output) {
            return "cannot open output " + output + ": " + errno_text(errno);
        }
    }
    return {};
}

}  // namespace

namespace {

class FdOutput final : public TraceOutput {
  public:
    FdOutput(int fd, bool owned) : fd_(fd), owned_(owned) {}
    ~FdOutput() override {
        if (owned_) {
            ::close(fd_);
        }
    }
    int fd() const override { return fd_; }
    void write(const TraceRecord& record) const override { write_all(fd_, record.line); }

  private:
    int fd_;
    bool owned_;
};

std::mutex senders_mu;
TraceSystemSenders senders;  // guarded by senders_mu

TraceSystemSenders current_senders() {
    std::lock_guard lock(senders_mu);
    return senders;
}

// The text after the stamp, without the line end.
std::string_view message_of(const TraceRecord& record) {
    std::string_view message = record.line.substr(record.message_at);
    if (message.ends_with('\n')) {
        message.remove_suffix(1);
    }
    return message;
}

class JournalOutput final : public TraceOutput {
  public:
    JournalOutput(const std::string& identifier, TraceSystemSenders::journal_type send)
        : identifier_("SYSLOG_IDENTIFIER=" + identifier), send_(std::move(send)) {}

    void write(const TraceRecord& record) const override {
        const std::string message = "MESSAGE=" + std::string(message_of(record));
        const char priority[] = {
            'P', 'R', 'I', 'O', 'R',
            'I', 'T', 'Y', '=', static_cast<char>('0' + trace_priority(record.category))};
        const std::string category =
            std::string(kTraceJournalCategory) + "=" + trace_category_name(record.category);
        std::string mac;
        iovec fields[5];
        int count = 0;
        const auto add = [&](const void* data, size_t size) {
            fields[count++] = iovec{const_cast<void*>(data), size};
        };
        add(message.data(), message.size());
        add(priority, sizeof priority);
        add(category.data(), category.size());
        add(identifier_.data(), identifier_.size());
        if (record.mac != nullptr) {
            mac = std::string(kTraceJournalMac) + "=" + record.mac->text().data();
            add(mac.data(), mac.size());
        }
        if (send_) {
            send_(fields, count);
        } else {
            sd_journal_sendv(fields, count);
        }
    }

  private:
    std::string identifier_;
    TraceSystemSenders::journal_type send_;
};

class SyslogOutput final : public TraceOutput {
  public:
    SyslogOutput(const std::string& identifier, TraceSystemSenders::syslog_type send)
        : send_(std::move(send)) {
        if (!send_) {
            // openlog keeps the pointer: each identifier is kept for good.
            static std::mutex mu;
            static auto* kept = new std::set<std::string>;
            std::lock_guard lock(mu);
            ::openlog(kept->insert(identifier).first->c_str(), LOG_PID, LOG_DAEMON);
        }
    }

    void write(const TraceRecord& record) const override {
        const std::string message(message_of(record));
        if (send_) {
            send_(trace_priority(record.category), message.c_str());
        } else {
            ::syslog(trace_priority(record.category), "%s", message.c_str());
        }
    }

  private:
    TraceSystemSenders::syslog_type send_;
};

}  // namespace

std::shared_ptr<const TraceOutput> TraceOutput::standard_error() {
    static const auto out = std::make_shared<const FdOutput>(STDERR_FILENO, false);
    return out;
}

std::shared_ptr<const TraceOutput> TraceOutput::standard_output() {
    static const auto out = std::make_shared<const FdOutput>(STDOUT_FILENO, false);
    return out;
}

std::shared_ptr<const TraceOutput> TraceOutput::open_file(const std::string& path) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
    if (fd < 0) {
        return nullptr;
    }
    return std::make_shared<const FdOutput>(fd, true);
}

std::shared_ptr<const TraceOutput> TraceOutput::journal(const std::string& identifier) {
    return std::make_shared<const JournalOutput>(identifier, current_senders().journal);
}

std::shared_ptr<const TraceOutput> TraceOutput::syslog(const std::string& identifier) {
    return std::make_shared<const SyslogOutput>(identifier, current_senders().syslog);
}

void trace_set_system_senders(TraceSystemSenders replacement) {
    std::lock_guard lock(senders_mu);
    senders = std::move(replacement);
}

int trace_priority(TraceCategory category) {
    switch (category) {
        case TraceCategory::ERROR:
            return LOG_ERR;
        case TraceCategory::WARN:
            return LOG_WARNING;
        case TraceCategory::SYS:
            return LOG_NOTICE;
        default:
            return LOG_DEBUG;
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

TraceConfigLoad load_trace_config(const std::string& path, const std::string& identifier) {
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
    load.problem = apply_tree(root.get(), identifier, settings);
    if (load.problem.empty()) {
        load.settings = std::move(settings);
    }
    return load;
}
