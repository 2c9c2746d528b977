#pragma once
// Certificate authentication of an unauthorized AP by the controller's
// certificate service: the request (message 140) and its result (141).

#include <string>

#include "registry/addr.h"

class IMsg;
class IpcPort;

// Asks for a certificate for the AP; a failed send is only logged.
void send_cert_auth_ap(const std::string& ip, const MacAddr& mac);

// The result: the AP leaves the unauthorized registry whatever it says, and
// the administrator is answered when it asked for this AP.
void cert_auth_result(const IMsg& msg, IpcPort& port);
