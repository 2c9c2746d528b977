#pragma once
// Certificate authentication of an unauthorized AP by the controller's
// certificate service: the request (message 140) and its result (141).

#include <string>

#include "libs/ipc/ipc_port.h"

#include "registry/addr.h"

class IMsg;
class IpcPort;

// The administrator's peer that asked for the AP at `ip`; its answer goes there alone.
void remember_admin_request(const std::string& ip, PeerRef peer);

// Asks for a certificate for the AP; a failed send is only logged.
void send_cert_auth_ap(const std::string& ip, const MacAddr& mac);

// The result: the AP leaves the unauthorized registry whatever it says, and
// the administrator is answered when it asked for this AP.
void cert_auth_result(const IMsg& msg, IpcPort& port);
