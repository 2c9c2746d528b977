#include "app/service_queries.h"

#include "dialogue/sa_config.h"
#include "platform/cfg_ptr.h"
#include "registry/tracked_aps.h"
#include "registry/unauthed_aps.h"

std::string service_report_text(const SaConfig& config) {
    CfgTree tree(cfg_get_empty());
    if (!tree) {
        return R"({"error": "true"})";
    }
    config.fill_report(tree.get());
    const char* text = cfg_serialize_compact(tree.get());
    return text ? text : R"({"error": "true"})";
}

std::vector<SaApsInfo::ApInfo> collect_ap_list(const TrackedAps& tracked,
                                               const UnauthedAps& unauthed) {
    std::vector<SaApsInfo::ApInfo> infos;
    tracked.collect_infos(infos);
    unauthed.collect_infos(infos);
    return infos;
}

std::string mac_list_text(const TrackedAps& tracked, const UnauthedAps& unauthed) {
    CfgTree root(cfg_get_empty());
    CfgTree data(cfg_get_empty());
    CfgTree unauthed_macs(unauthed.mac_statuses());
    CfgTree tracked_macs(tracked.mac_statuses());
    if (!root || !data || !unauthed_macs || !tracked_macs) {
        return R"({"status": "failure", "cause": "Can't get macs SA"})";
    }
    int error = 0;
    cfg_merge(data.get(), unauthed_macs.get(), &error);
    cfg_merge(data.get(), tracked_macs.get(), &error);
    if (error != 0) {
        return R"({"status": "failure", "cause": "Can't merge ap-data SA"})";
    }
    cfg_set_param(root.get(), "status", "success");
    cfg_insert_child(root.get(), "data", data.get());
    const char* text = cfg_serialize_compact(root.get());
    return text ? text : R"({"status": "failure", "cause": "Can't get macs SA"})";
}
