#include "controller/mac_filter.h"

#include <memory>
#include <set>

#include "controller/ipc_fields.h"
#include "libs/common/tools.h"
#include "libs/ipc/ipc_port.h"
#include "libs/ipc/messages.h"
#include "libs/trace/trace.h"
#include "platform/cfg_ptr.h"

namespace {

void list_macs(lcw_data_t* tree, const TraceMacFilter& filter) {
    lcw_data_t* array = cfg_insert_empty_array(tree, "macs");
    // The filter's set is unordered; readers get a stable order.
    const std::set<MacAddr> sorted(filter.macs.begin(), filter.macs.end());
    for (const MacAddr& mac : sorted) {
        cfg_insert_child_string(array, nullptr, mac.str().c_str());
    }
}

void apply(const IPC_MSG__MAC_FILTER& command, TraceMacFilter& filter, lcw_data_t* tree) {
    switch (command.action) {
        case MAC_FILTER_ENABLE:
            filter.enabled = true;
            break;
        case MAC_FILTER_DISABLE:
            filter.enabled = false;
            break;
        case MAC_FILTER_ADD:
            for (const MacAddr& mac : tools::string_to_macs(command.macs, ' ')) {
                filter.macs.insert(mac);
            }
            break;
        case MAC_FILTER_REMOVE:
            for (const MacAddr& mac : tools::string_to_macs(command.macs, ' ')) {
                filter.macs.erase(mac);
            }
            break;
        case MAC_FILTER_STATUS:
            cfg_set_boolean_param(tree, "filter_status", filter.enabled);
            break;
        case MAC_FILTER_LIST:
            list_macs(tree, filter);
            break;
        case MAC_FILTER_CLEAR:
            filter.macs.clear();
            break;
        case MAC_FILTER_INVALID:
            cfg_set_boolean_param(tree, "error", true);
            cfg_set_param(tree, "cause", "invalid action");
            break;
        default:
            break;
    }
}

}  // namespace

void mac_filter_command(const IMsg& msg, Trace& trace, IpcPort& port) {
    const auto* command = msg_as<IPC_MSG__MAC_FILTER>(msg);
    if (!command) {
        return;
    }
    auto reply = std::make_shared<IPC_MSG__MAC_FILTER_RESP>();
    reply->port = kMacFilterNoTreePort;
    CfgTree tree(cfg_get_empty());
    if (!tree) {
        reply->result = make_shared_string(R"({"error":true, "cause":"can't get empty cfg"})");
        port.reply(std::move(reply));
        return;
    }
    cfg_set_boolean_param(tree.get(), "error", false);
    apply(*command, trace.mac_filter(), tree.get());
    const char* text = cfg_serialize_compact(tree.get());
    reply->result = make_shared_string(text ? text : "");
    reply->port = port.id();
    port.reply(std::move(reply));
}
