#pragma once
// The service's own view for operators: the status and metrics extension
// messages, answered from the process-wide objects.

#include <string>

class IMsg;
class IpcPort;
struct Servers;

// The build's version; one place, so that a generated version header replaces it.
const char* dor_version();

// The JSON texts of the two replies (docs/ipc-protocol.md, "Extension messages").
std::string status_json(const Servers& servers);
std::string metrics_json(const IpcPort* port);

// Answers an extension request; false for any other type.
bool handle_extension_message(const IMsg& msg, IpcPort& port, const Servers& servers);
