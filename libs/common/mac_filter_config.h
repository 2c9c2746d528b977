#pragma once
// Applies the controller's trace MAC filter configuration to a trace object.

struct IPC_MSG__MAC_FILTER_CONFIG;
class Trace;

// Replaces switch and set as a whole (an empty MAC list empties the set) and
// logs the new state on the sys category.
void mac_filter_config(const IPC_MSG__MAC_FILTER_CONFIG& msg, Trace& trace);
