#include "tests/dialogue/dialogue_fixture.h"

#include <string>

#include "libs/ipc/messages.h"
#include "platform/globals.h"

namespace {

std::string field_text(const SharedString& text) {
    return text ? *text : "<nil>";
}
std::string field_text(bool flag) {
    return flag ? "true" : "false";
}
std::string field_text(uint32_t value) {
    return std::to_string(value);
}

template <class M>
bool render_as(const IMsg& msg, SentMsg& out) {
    const auto* typed = dynamic_cast<const M*>(&msg);
    if (!typed) {
        return false;
    }
    typed->visit_fields(
        [&](const auto&... field) { (out.fields.push_back(field_text(field)), ...); });
    return true;
}

}  // namespace

void PrintTo(const SentMsg& msg, std::ostream* os) {
    *os << "type " << msg.type << " {";
    for (const auto& field : msg.fields) {
        *os << " \"" << field << "\"";
    }
    *os << " }";
}

SentMsg render(const IMsg& msg) {
    SentMsg out{msg.get_type(), {}};
    render_as<IPC_MSG__FW_AP_CHECK>(msg, out) || render_as<IPC_MSG__SA_GET_CREDENTIALS>(msg, out) ||
        render_as<IPC_MSG__SA_AP_EVENT>(msg, out) ||
        render_as<IPC_MSG__SA_AP_REG_TIMEOUT>(msg, out) ||
        render_as<IPC_MSG__SA_CERT_AUTH_AP>(msg, out);
    return out;
}

void PrintTo(const LoggedLine& line, std::ostream* os) {
    *os << trace_category_name(line.category) << " ["
        << (line.mac ? line.mac->str() : std::string("-")) << "] \"" << line.text << "\"";
}

DialogueFixture::DialogueFixture() {
    g_ipc_port = &bed.port;
    g_sa_config = &config;
    g_tracked_aps = &tracked;
    g_unauthed_aps = &unauthed;
    for (int i = 0; i < kTraceCategoryCount; ++i) {
        sa_trace.set_enabled(static_cast<TraceCategory>(i), true);
    }
    sa_trace.set_sink([this](const TraceLine& line) {
        lines_.push_back({line.category, line.mac, line.text});
    });
}

DialogueFixture::~DialogueFixture() {
    sa_trace.set_sink({});
    g_ipc_port = nullptr;
    g_sa_config = nullptr;
    g_tracked_aps = nullptr;
    g_unauthed_aps = nullptr;
}

std::vector<SentMsg> DialogueFixture::sent() {
    std::vector<SentMsg> out;
    for (const auto& msg : bed.drain()) {
        out.push_back(render(*msg));
    }
    return out;
}

std::vector<LoggedLine> DialogueFixture::logged() {
    std::vector<LoggedLine> out;
    out.swap(lines_);
    return out;
}
