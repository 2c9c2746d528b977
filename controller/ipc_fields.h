#pragma once
// Reading the fields of an incoming IPC message. Texts may travel as nil; a
// handler reads an absent text as empty rather than trusting the sender.

#include <string>

#include "libs/ipc/imsg.h"
#include "registry/addr.h"

inline const std::string& text_of(const SharedString& text) {
    static const std::string kEmpty;
    return text ? *text : kEmpty;
}

// An absent or malformed text gives the invalid MAC, which no AP has.
inline MacAddr mac_of(const SharedString& text) {
    return text ? MacAddr::from_str(text->c_str(), text->size()) : MacAddr{};
}

// The message as its class, or null when the type number and class disagree
// (only possible for messages built in-process).
template <class M>
const M* msg_as(const IMsg& msg) {
    return dynamic_cast<const M*>(&msg);
}
