#pragma once
// Handler tests run on the dialogue frame (real port, registries, captured
// trace) and put APs into the registries through their real request steps.

#include <memory>
#include <string>
#include <vector>

#include "libs/ipc/messages.h"
#include "tests/dialogue/dialogue_fixture.h"

// Any message of the protocol as its type and fields.
SentMsg render_any(const IMsg& msg);

namespace ctl {

// A valid AP request body for `mac`.
std::string body_for(const std::string& mac, const std::string& device = "AP-300",
                     const std::string& sw = "7.1.0");

}  // namespace ctl

class ControllerFixture : public DialogueFixture {
  protected:
    // Tracks `ip` on `path`, hands it the body for `mac` and processes it;
    // whatever that sends is drained.
    template <class Registry>
    void add_ap(Registry& registry, const std::string& ip, const std::string& path,
                const std::string& mac) {
        registry.track(ip, path);
        registry.find(ip)->body = ctl::body_for(mac);
        registry.process_request(ip);
        sent();
        logged();
    }

    // Messages sent since the last call, replies rendered with their fields.
    std::vector<SentMsg> out();
    // The texts of the administrator replies (127) among `msgs`.
    static std::vector<std::string> auth_replies(const std::vector<SentMsg>& msgs);
    static size_t count_type(const std::vector<SentMsg>& msgs, uint32_t type);
};
