#pragma once
// Handler tests on the dialogue frame; APs enter the registries by real requests.

#include <string>

#include "dialogue/ap_data_authorized.h"
#include "dialogue/ap_data_unauthorized.h"
#include "libs/ipc/messages.h"
#include "tests/dialogue/dialogue_fixture.h"

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
};
