#include "tests/controller/controller_fixture.h"

#include <algorithm>

namespace ctl {

std::string body_for(const std::string& mac, const std::string& device, const std::string& sw) {
    return R"({"deviceType":")" + device + R"(","swVersion":")" + sw +
           R"(","hwVersion":"B","serial":"SN1","mac":")" + mac + R"(","timeout":30})";
}

}  // namespace ctl

namespace {

std::string field_text(const SharedString& value) {
    return value ? *value : "<nil>";
}
std::string field_text(bool value) {
    return value ? "true" : "false";
}
template <class Int>
std::string field_text(Int value) {
    return std::to_string(value);
}
std::string field_text(const std::vector<SaApsInfo::ApInfo>& rows) {
    return std::to_string(rows.size()) + " rows";
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

template <class... M>
SentMsg render_one_of(const IMsg& msg) {
    SentMsg out{msg.get_type(), {}};
    (render_as<M>(msg, out) || ...);
    return out;
}

}  // namespace

SentMsg render_any(const IMsg& msg) {
    return render_one_of<
        IPC_MSG__SA_CREDENTIALS, IPC_MSG__SA_GET_CREDENTIALS, IPC_MSG__STOP,
        IPC_MSG__SA_AP_REG_TIMEOUT, IPC_MSG__SA_REPORT_REQ, IPC_MSG__SA_REPORT_RESP,
        IPC_MSG__TZ_UPDATE, IPC_MSG__MAC_FILTER, IPC_MSG__MAC_FILTER_RESP,
        IPC_MSG__MAC_FILTER_CONFIG, IPC_MSG__SET_SEND_AND_RECV, IPC_MSG__AUTH_AP,
        IPC_MSG__AUTH_AP_RESP, IPC_MSG__SA_GET_APS, IPC_MSG__SA_GET_APS_RESP, IPC_MSG__SA_PORTS,
        IPC_MSG__DROP_AUTH, IPC_MSG__FW_AP_CHECK, IPC_MSG__FW_AP_CHECK_RESULT, IPC_MSG__SA_FW_DIR,
        IPC_MSG__SA_TLS_FILES, IPC_MSG__SA_CERT_AUTH_AP, IPC_MSG__SA_CERT_AUTH_AP_RESULT,
        IPC_MSG__SA_RESET, IPC_MSG__INCOMING_CONNECTIONS, IPC_MSG__SA_AP_EVENT,
        IPC_MSG__SA_AP_MACLIST, IPC_MSG__SA_AP_MACLIST_RESP>(msg);
}

std::vector<SentMsg> ControllerFixture::out() {
    std::vector<SentMsg> msgs;
    for (const auto& msg : bed.drain()) {
        msgs.push_back(render_any(*msg));
    }
    return msgs;
}

std::vector<std::string> ControllerFixture::auth_replies(const std::vector<SentMsg>& msgs) {
    std::vector<std::string> texts;
    for (const auto& msg : msgs) {
        if (msg.type == IPC_MSG__AUTH_AP_RESP::kType) {
            texts.push_back(msg.fields.at(0));
        }
    }
    return texts;
}

size_t ControllerFixture::count_type(const std::vector<SentMsg>& msgs, uint32_t type) {
    return std::count_if(msgs.begin(), msgs.end(),
                         [type](const SentMsg& msg) { return msg.type == type; });
}
