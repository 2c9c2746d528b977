#pragma once
// Certificate authentication of an unauthorized AP by the controller's
// certificate service.

#include <string>

#include "registry/addr.h"

// Asks for a certificate for the AP; a failed send is only logged.
void send_cert_auth_ap(const std::string& ip, const MacAddr& mac);
