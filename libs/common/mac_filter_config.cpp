#include "libs/common/mac_filter_config.h"

#include <algorithm>
#include <string>
#include <vector>

#include "libs/common/tools.h"
#include "libs/ipc/messages.h"
#include "libs/trace/trace.h"

void mac_filter_config(const IPC_MSG__MAC_FILTER_CONFIG& msg, Trace& trace) {
    TraceMacFilter filter;
    filter.enabled = msg.enabled != 0;
    for (const MacAddr& mac : tools::string_to_macs(msg.macs, ' ')) {
        filter.macs.insert(mac);
    }

    // Sorted so that two equal configurations log the same line.
    std::vector<MacAddr> sorted(filter.macs.begin(), filter.macs.end());
    std::sort(sorted.begin(), sorted.end());
    std::string listed;
    for (const MacAddr& mac : sorted) {
        if (!listed.empty()) {
            listed += ' ';
        }
        listed += mac.str();
    }

    trace.mac_filter() = std::move(filter);
    trace.sys("MAC filter config: %s, %zu MAC(s) [%s]",
              trace.mac_filter().enabled ? "enabled" : "disabled", sorted.size(), listed.c_str());
}
