#pragma once
// The service's answers to the controller's queries: the service report (113),
// the AP list (128) and the MAC list (167).

#include <string>
#include <vector>

#include "libs/ipc/imsg.h"

class SaConfig;
class TrackedAps;
class UnauthedAps;

// {"current-time": "HH:MM:SS"}, or {"error": "true"} without a tree.
std::string service_report_text(const SaConfig& config);

// Tracked APs first, then unauthorized ones, each registry in its own order.
std::vector<SaApsInfo::ApInfo> collect_ap_list(const TrackedAps& tracked,
                                               const UnauthedAps& unauthed);

// {"status":"success","data":{MAC: {"sa-status": ...}}}, or a failure text.
std::string mac_list_text(const TrackedAps& tracked, const UnauthedAps& unauthed);
