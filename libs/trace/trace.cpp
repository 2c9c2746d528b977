#include "libs/trace/trace.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <set>

#include "libs/trace/trace_config.h"
#include "libs/trace/trace_format.h"

namespace {

// The settings of the process and the objects they apply to. Never destroyed:
// static Trace objects unregister during static destruction.
struct Registry {
    std::mutex mu;
    std::set<Trace*> live;
    TraceSettings settings = TraceSettings::defaults();
    std::string process_name;
};

Registry& registry() {
    static Registry* instance = new Registry;
    return *instance;
}

// Big enough for the lines of one busy loop turn.
constexpr size_t kHeldCapacity = 32 * 1024;

size_t index_of(TraceCategory category) {
    return static_cast<size_t>(category);
}

}  // namespace

const char* trace_category_name(TraceCategory category) {
    switch (category) {
        case TraceCategory::SYS:
            return "sys";
        case TraceCategory::WARN:
            return "warn";
        case TraceCategory::ERROR:
            return "error";
        case TraceCategory::CORE:
            return "core";
        case TraceCategory::AP:
            return "ap";
        case TraceCategory::AP_LIB:
            return "ap_lib";
        case TraceCategory::AP_LIMITED:
            return "ap_limited";
        case TraceCategory::AP_UNSECURE:
            return "ap_unsecure";
        case TraceCategory::EVENTS:
            return "events";
    }
    return "?";
}

struct Trace::Held {
    char text[kHeldCapacity];
    // Read by the crash handler, hence atomic: the bytes below `size` are
    // complete, and `fd` is the output they belong to.
    std::atomic<size_t> size{0};
    std::atomic<int> fd{-1};
};

Trace::Trace(std::string name) : name_(std::move(name)) {
    Registry& reg = registry();
    std::lock_guard lock(reg.mu);
    apply(reg.settings);
    reg.live.insert(this);
}

Trace::~Trace() {
    hold_lines(false);
    Registry& reg = registry();
    std::lock_guard lock(reg.mu);
    reg.live.erase(this);
}

void Trace::apply(const TraceSettings& settings) {
    for (size_t i = 0; i < settings.enabled.size(); ++i) {
        enabled_[i].store(settings.enabled[i], std::memory_order_relaxed);
    }
    limited_max_.store(settings.limited_max, std::memory_order_relaxed);
    set_output(settings.output);
}

void Trace::set_output(std::shared_ptr<const TraceOutput> output) {
    std::lock_guard lock(mu_);
    write_held_locked();
    output_ = std::move(output);
}

void Trace::hold_lines(bool on) {
    std::lock_guard lock(mu_);
    if (on && !held_) {
        held_ = std::make_unique<Held>();
    } else if (!on && held_) {
        write_held_locked();
        held_.reset();
    }
}

void Trace::flush_held() {
    std::lock_guard lock(mu_);
    write_held_locked();
}

void Trace::write_held_locked() const {
    if (!held_ || held_->size.load(std::memory_order_relaxed) == 0) {
        return;
    }
    if (output_) {
        TraceOutput::write_all(output_->fd(), std::string_view(held_->text, held_->size.load()));
    }
    held_->size.store(0, std::memory_order_release);
}

void Trace::hold_line(std::string_view line) const {
    Held& held = *held_;
    if (held.size.load(std::memory_order_relaxed) + line.size() > kHeldCapacity) {
        write_held_locked();
    }
    if (line.size() > kHeldCapacity) {
        TraceOutput::write_all(output_->fd(), line);
        return;
    }
    held.fd.store(output_->fd(), std::memory_order_relaxed);
    const size_t size = held.size.load(std::memory_order_relaxed);
    std::memcpy(held.text + size, line.data(), line.size());
    held.size.store(size + line.size(), std::memory_order_release);
}

void Trace::write_held_on_crash() const noexcept {
    Held* held = held_.get();
    if (held == nullptr) {
        return;
    }
    const int fd = held->fd.load(std::memory_order_acquire);
    if (fd >= 0) {
        TraceOutput::write_all(fd, {held->text, held->size.load(std::memory_order_acquire)});
    }
    held->size.store(0, std::memory_order_release);
}

void Trace::global_init(const char* process_name) {
    Registry& reg = registry();
    {
        std::lock_guard lock(reg.mu);
        reg.process_name = process_name != nullptr ? process_name : "";
    }
    reload_all(false);
}

void Trace::global_deinit() {
    Registry& reg = registry();
    std::lock_guard lock(reg.mu);
    reg.settings.output = TraceOutput::standard_error();
    for (Trace* trace : reg.live) {
        trace->set_output(reg.settings.output);
    }
}

void Trace::reload_config() {
    reload_all(true);
}

void Trace::reload_all(bool keep_on_problem) {
    std::string path = trace_config_path();
    Registry& reg = registry();
    std::lock_guard lock(reg.mu);
    TraceConfigLoad load =
        load_trace_config(path, reg.process_name.empty() ? "dor" : reg.process_name);
    const bool keep = keep_on_problem && !load.problem.empty();
    if (!keep) {
        reg.settings = std::move(load.settings);
    }
    for (Trace* trace : reg.live) {
        if (!keep) {
            trace->apply(reg.settings);
        }
        if (!load.problem.empty()) {
            trace->warn("%s%strace configuration %s: %s; %s", reg.process_name.c_str(),
                        reg.process_name.empty() ? "" : ": ", path.c_str(), load.problem.c_str(),
                        keep ? "keeping the running one" : "using the defaults");
        }
    }
}

bool Trace::enabled(TraceCategory category) const {
    return enabled_[index_of(category)].load(std::memory_order_relaxed);
}

void Trace::set_enabled(TraceCategory category, bool on) {
    enabled_[index_of(category)].store(on, std::memory_order_relaxed);
}

void Trace::set_sink(std::function<void(const TraceLine&)> sink) {
    auto shared = sink ? std::make_shared<const Sink>(std::move(sink)) : nullptr;
    std::lock_guard lock(mu_);
    sink_ = std::move(shared);
}

void Trace::write(TraceCategory category, const MacAddr* mac, const char* fmt, va_list args) const {
    TraceCategory gate = category == TraceCategory::AP_UNSECURE ? TraceCategory::AP : category;
    if (!enabled(gate) || (mac != nullptr && !filter_.lets_through(*mac))) {
        return;
    }
    std::string text = trace_vformat(fmt, args, enabled(TraceCategory::AP_UNSECURE));
    if (category == TraceCategory::AP_LIMITED) {
        text = trace_cut(std::move(text), limited_max());
    }
    text = trace_escape(std::move(text));

    std::string line;
    line.reserve(text.size() + 80);
    line.resize(kTraceTimeSize);
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    trace_time(now, line.data());
    line += ' ';
    const size_t message_at = line.size();
    line += name_;
    line += ' ';
    line += trace_category_name(category);
    if (mac != nullptr) {
        line += " [";
        line += mac->text().data();
        line += ']';
    }
    line += ' ';
    line += text;
    line += '\n';

    std::shared_ptr<const TraceOutput> output;
    std::shared_ptr<const Sink> sink;
    {
        std::lock_guard lock(mu_);
        sink = sink_;
        if (held_ && output_ && output_->fd() >= 0) {
            hold_line(line);
        } else {
            output = output_;
        }
    }
    if (output) {
        output->write(TraceRecord{category, mac, line, message_at});
    }
    if (sink) {
        (*sink)(TraceLine{category, mac != nullptr ? std::optional(*mac) : std::nullopt,
                          std::move(text)});
    }
}

#define DOR_TRACE_OPERATION(operation, category)                                  \
    void Trace::operation(const char* fmt, ...) const {                           \
        va_list args;                                                             \
        va_start(args, fmt);                                                      \
        write(TraceCategory::category, nullptr, fmt, args);                       \
        va_end(args);                                                             \
    }                                                                             \
    void Trace::operation##_mac(const MacAddr& mac, const char* fmt, ...) const { \
        va_list args;                                                             \
        va_start(args, fmt);                                                      \
        write(TraceCategory::category, &mac, fmt, args);                          \
        va_end(args);                                                             \
    }

DOR_TRACE_OPERATION(sys, SYS)
DOR_TRACE_OPERATION(warn, WARN)
DOR_TRACE_OPERATION(error, ERROR)
DOR_TRACE_OPERATION(core, CORE)
DOR_TRACE_OPERATION(ap, AP)
DOR_TRACE_OPERATION(ap_unsecure, AP_UNSECURE)
DOR_TRACE_OPERATION(events, EVENTS)

#undef DOR_TRACE_OPERATION

void Trace::ap_lib(const char* fmt, ...) const {
    va_list args;
    va_start(args, fmt);
    write(TraceCategory::AP_LIB, nullptr, fmt, args);
    va_end(args);
}

void Trace::ap_lib_line(std::string_view line) const {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.remove_suffix(1);
    }
    ap_lib("%.*s", static_cast<int>(line.size()), line.data());
}

void Trace::ap_limited(const char* fmt, ...) const {
    va_list args;
    va_start(args, fmt);
    write(TraceCategory::AP_LIMITED, nullptr, fmt, args);
    va_end(args);
}
