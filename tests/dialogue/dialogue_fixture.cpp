#include "tests/dialogue/dialogue_fixture.h"

#include <string>
#include <type_traits>
#include <utility>

#include "libs/ipc/messages.h"
#include "platform/globals.h"

namespace {

template <class Field>
std::string field_text(const Field& field) {
    if constexpr (std::is_same_v<Field, bool>) {
        return field ? "true" : "false";
    } else if constexpr (std::is_integral_v<Field>) {
        return std::to_string(field);
    } else {
        return field ? *field : "<nil>";
    }
}

template <class... M>
SentMsg render_one_of(const IMsg& msg) {
    SentMsg out{msg.get_type(), {}};
    auto fill = [&](const auto* typed) {
        if (typed)
            typed->visit_fields(
                [&](const auto&... field) { (out.fields.push_back(field_text(field)), ...); });
        return typed != nullptr;
    };
    (fill(dynamic_cast<const M*>(&msg)) || ...);
    return out;
}

}  // namespace

void PrintTo(const SentMsg& msg, std::ostream* os) {
    *os << "type " << msg.type << " {";
    for (const auto& field : msg.fields)
        *os << " \"" << field << "\"";
    *os << " }";
}

SentMsg render(const IMsg& msg) {
    return render_one_of<IPC_MSG__FW_AP_CHECK, IPC_MSG__SA_GET_CREDENTIALS, IPC_MSG__SA_AP_EVENT,
                         IPC_MSG__SA_AP_REG_TIMEOUT, IPC_MSG__SA_CERT_AUTH_AP, IPC_MSG__AUTH_AP,
                         IPC_MSG__AUTH_AP_RESP, IPC_MSG__MAC_FILTER, IPC_MSG__SA_PORTS,
                         IPC_MSG__SA_FW_DIR, IPC_MSG__SA_TLS_FILES, IPC_MSG__INCOMING_CONNECTIONS>(
        msg);
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
    for (int i = 0; i < kTraceCategoryCount; ++i)
        sa_trace.set_enabled(static_cast<TraceCategory>(i), true);
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
    for (const auto& msg : bed.drain())
        out.push_back(render(*msg));
    return out;
}

std::vector<LoggedLine> DialogueFixture::logged() {
    return std::exchange(lines_, {});
}
