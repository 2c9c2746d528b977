#pragma once
// The controller's commands for the trace MAC filter (message 116, answered
// with 117).

#include <cstdint>

class IMsg;
class IpcPort;
class Trace;

enum MacFilterAction : uint32_t {
    MAC_FILTER_ENABLE = 0,
    MAC_FILTER_DISABLE = 1,
    MAC_FILTER_ADD = 2,     // the MACs of the message's list
    MAC_FILTER_REMOVE = 3,  // the MACs of the message's list
    MAC_FILTER_STATUS = 4,
    MAC_FILTER_LIST = 5,
    MAC_FILTER_CLEAR = 6,  // empties the set; the switch stays
    MAC_FILTER_INVALID = 7,
};

// Port number of a reply that could not be built.
inline constexpr uint32_t kMacFilterNoTreePort = 11;

void mac_filter_command(const IMsg& msg, Trace& trace, IpcPort& port);
