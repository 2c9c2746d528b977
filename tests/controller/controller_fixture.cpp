#include "tests/controller/controller_fixture.h"

#include <algorithm>

namespace ctl {

std::string body_for(const std::string& mac, const std::string& device, const std::string& sw) {
    return R"({"deviceType":")" + device + R"(","swVersion":")" + sw +
           R"(","hwVersion":"B","serial":"SN1","mac":")" + mac + R"(","timeout":30})";
}

}  // namespace ctl

namespace {

template <class M>
bool render_reply(const IMsg& msg, SentMsg& out) {
    const auto* typed = dynamic_cast<const M*>(&msg);
    if (!typed) {
        return false;
    }
    typed->visit_fields([&](const auto&... field) {
        auto text = [](const auto& value) {
            if constexpr (std::is_same_v<std::decay_t<decltype(value)>, SharedString>) {
                return value ? *value : std::string("<nil>");
            } else {
                return std::to_string(value);
            }
        };
        (out.fields.push_back(text(field)), ...);
    });
    return true;
}

}  // namespace

std::vector<SentMsg> ControllerFixture::out() {
    std::vector<SentMsg> msgs;
    for (const auto& msg : bed.drain()) {
        SentMsg rendered{msg->get_type(), {}};
        if (!render_reply<IPC_MSG__AUTH_AP_RESP>(*msg, rendered) &&
            !render_reply<IPC_MSG__MAC_FILTER_RESP>(*msg, rendered)) {
            rendered = render(*msg);
        }
        msgs.push_back(std::move(rendered));
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
