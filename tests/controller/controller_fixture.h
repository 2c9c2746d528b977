#pragma once
// Handler tests on the dialogue frame; APs enter the registries by real requests.

#include <string>
#include <type_traits>
#include <vector>

#include "dialogue/ap_data_authorized.h"
#include "dialogue/ap_data_unauthorized.h"
#include "libs/ipc/messages.h"
#include "tests/dialogue/dialogue_fixture.h"

template <class... M>
SentMsg render_one_of(const IMsg& msg) {
    SentMsg out{msg.get_type(), {}};
    auto text = [](const auto& field) -> std::string {
        using F = std::decay_t<decltype(field)>;
        if constexpr (std::is_integral_v<F>) {
            return std::to_string(field);
        } else {
            return field ? *field : "<nil>";
        }
    };
    auto fill = [&](const auto* typed) {
        if (typed) {
            typed->visit_fields([&](const auto&... f) { (out.fields.push_back(text(f)), ...); });
        }
        return typed != nullptr;
    };
    (fill(dynamic_cast<const M*>(&msg)) || ...);
    return out;
}

// The messages these tests exchange with their fields; any other by type only.
inline SentMsg render_any(const IMsg& msg) {
    return render_one_of<IPC_MSG__SA_AP_EVENT, IPC_MSG__AUTH_AP, IPC_MSG__AUTH_AP_RESP,
                         IPC_MSG__MAC_FILTER, IPC_MSG__SA_PORTS, IPC_MSG__SA_FW_DIR,
                         IPC_MSG__SA_TLS_FILES, IPC_MSG__INCOMING_CONNECTIONS>(msg);
}

class ControllerFixture : public DialogueFixture {
  protected:
    template <class Registry>
    void add_ap(Registry& registry, const std::string& ip, const std::string& path,
                const std::string& mac) {
        registry.track(ip, path);
        registry.find(ip)->body = R"({"deviceType":"AP-300","swVersion":"7.1.0","hwVersion":"B",)"
                                  R"("serial":"SN1","mac":")" +
                                  mac + R"(","timeout":30})";
        registry.process_request(ip);
        sent();
        logged();
    }

    std::vector<SentMsg> out() {
        std::vector<SentMsg> msgs;
        for (const auto& msg : bed.drain()) {
            msgs.push_back(render_any(*msg));
        }
        return msgs;
    }
};
