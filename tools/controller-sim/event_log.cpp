#include "tools/controller-sim/event_log.h"

#include "libs/trace/trace_format.h"
#include "tools/common/json.h"

namespace {

json_t* text_or_null(const SharedString& text) {
    return text ? json_stringn(text->data(), text->size()) : json_null();
}

std::string serialize(json_t* object) {
    JsonText text(json_dumps(object, JSON_COMPACT | JSON_PRESERVE_ORDER));
    return text ? std::string(text.get()) : std::string("{}");
}

}  // namespace

std::string event_line(const IPC_MSG__SA_AP_EVENT& msg, const std::string& time) {
    JsonPtr object(json_object());
    json_object_set_new(object.get(), "time", json_string(time.c_str()));
    json_object_set_new(object.get(), "type", json_integer(msg.get_type()));
    json_object_set_new(object.get(), "event", json_string("ap-event"));
    json_object_set_new(object.get(), "mac", text_or_null(msg.mac));
    json_object_set_new(object.get(), "code", json_integer(msg.code));
    json_object_set_new(object.get(), "device-type", text_or_null(msg.device_type));
    json_object_set_new(object.get(), "sw-version", text_or_null(msg.sw_version));
    json_object_set_new(object.get(), "ip", text_or_null(msg.ip));
    json_object_set_new(object.get(), "reason", text_or_null(msg.reason));
    return serialize(object.get());
}

std::string event_line(const IPC_MSG__SA_AP_REG_TIMEOUT& msg, const std::string& time) {
    JsonPtr object(json_object());
    json_object_set_new(object.get(), "time", json_string(time.c_str()));
    json_object_set_new(object.get(), "type", json_integer(msg.get_type()));
    json_object_set_new(object.get(), "event", json_string("reg-timeout"));
    json_object_set_new(object.get(), "mac", text_or_null(msg.mac));
    return serialize(object.get());
}

EventLog::EventLog(const std::string& path) {
    if (path.empty() || path == "-") {
        out_ = stdout;
        return;
    }
    out_ = std::fopen(path.c_str(), "ae");
    owned_ = out_ != nullptr;
}

EventLog::~EventLog() {
    if (owned_) {
        std::fclose(out_);
    }
}

void EventLog::write(const IPC_MSG__SA_AP_EVENT& msg) {
    std::fprintf(out_, "%s\n", event_line(msg, trace_time_now()).c_str());
    std::fflush(out_);
}

void EventLog::write(const IPC_MSG__SA_AP_REG_TIMEOUT& msg) {
    std::fprintf(out_, "%s\n", event_line(msg, trace_time_now()).c_str());
    std::fflush(out_);
}
