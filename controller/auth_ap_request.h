#pragma once
// The administrator's command to authenticate one waiting AP, or all of them
// (message 126, answered with 127).

#include <string>
#include <vector>

#include "registry/addr.h"

class IMsg;
class IpcPort;

// A single AP gets exactly one reply: a refusal now, or the certificate result
// later. "all" gets one reply now and none later.
void authenticate_ap_request(const IMsg& msg, IpcPort& port);

// The reply to "all", given the MACs whose authentication did not start.
std::string auth_all_reply_text(const std::vector<MacAddr>& not_started);
