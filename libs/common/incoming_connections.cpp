#include "libs/common/incoming_connections.h"

std::string IncomingConnectionsToStrX(uint32_t mode) {
    switch (mode) {
        case INCOMING_CONNECTIONS_ACCEPT:
            return "accept";
        case INCOMING_CONNECTIONS_REJECT:
            return "reject";
        case INCOMING_CONNECTIONS_REJECT_MAINTENANCE:
            return "reject (maintenance)";
    }
    return "unknown(" + std::to_string(mode) + ")";
}
