#pragma once
// Admission mode of new AP connections, set by the controller and shared by
// every process that accepts APs. Processes that only know "open or not" treat
// every value other than INCOMING_CONNECTIONS_ACCEPT as closed.

#include <cstdint>
#include <string>

enum IncomingConnections : uint32_t {
    // APs may connect and be admitted.
    INCOMING_CONNECTIONS_ACCEPT = 0,
    // No AP is accepted; the state until the controller has decided.
    INCOMING_CONNECTIONS_REJECT = 1,
    // No AP is accepted while the controller is under maintenance (an upgrade
    // or a restore); kept apart from REJECT so that logs tell the reason.
    INCOMING_CONNECTIONS_REJECT_MAINTENANCE = 2,
};

// "accept", "reject", "reject (maintenance)", or "unknown(<value>)".
std::string IncomingConnectionsToStrX(uint32_t mode);
