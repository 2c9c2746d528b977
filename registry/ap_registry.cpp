#include "registry/ap_registry.h"

#include <utility>

#include "dialogue/ap_data_authorized.h"
#include "dialogue/ap_data_unauthorized.h"
#include "libs/cfg/cfg.h"
#include "libs/trace/trace.h"
#include "platform/cfg_ptr.h"
#include "platform/globals.h"
#include "registry/ap_request.h"
#include "registry/registry_sides.h"

template <class Side>
void ApRegistry<Side>::track(const std::string& ip, const std::string& path) {
    auto [it, inserted] = ap_data.try_emplace(ip);
    if (inserted)
        it->second = std::make_shared<Handler>();
    Handler& ap = *it->second;
    const bool was_upgrading = !inserted && Side::is_upgrading(ap);

    ap.countdown = Side::kCountdown;
    ap.set_path(path);
    // Nothing prepared for an earlier request may be sent for this one.
    ap.reply.text.reset();

    const std::optional<MacAddr> mac = find_mac(ip);
    Side::trace_track(ip, path, ap, was_upgrading, mac);
    if (mac)
        Side::report("start tracking AP with path [" + path + "]", ip, mac, {}, {});
}

template <class Side>
void ApRegistry<Side>::untrack(const std::string& ip) {
    const auto it = ap_data.find(ip);
    if (it == ap_data.end())
        return;
    const std::shared_ptr<Handler> ap = it->second;

    const std::optional<MacAddr> mac = find_mac(ip);
    static constexpr const char* kText = "TRACK AP: Remove from tracking [%s]";
    if (mac) {
        sa_trace.core_mac(*mac, kText, ip.c_str());
    } else {
        sa_trace.core(kText, ip.c_str());
    }
    // Reported while the entry still exists, so the report can complete it.
    Side::report("remove from tracking", ip, mac, {}, {});

    if (ap->params)
        unpair(ap->params->mac);
    ap_data.erase(it);
}

template <class Side>
auto ApRegistry<Side>::find(const std::string& ip) const -> std::shared_ptr<Handler> {
    const auto it = ap_data.find(ip);
    return it != ap_data.end() ? it->second : nullptr;
}

template <class Side>
std::optional<std::string> ApRegistry<Side>::find_ip(const MacAddr& mac) const {
    const auto it = ap_mac_to_ip.find(mac);
    if (it == ap_mac_to_ip.end())
        return std::nullopt;
    return it->second;
}

template <class Side>
std::optional<MacAddr> ApRegistry<Side>::find_mac(const std::string& ip) const {
    const auto it = macs_by_ip.find(ip);
    if (it == macs_by_ip.end())
        return std::nullopt;
    return *it->second.begin();
}

template <class Side>
void ApRegistry<Side>::pair(const MacAddr& mac, const std::string& ip) {
    unpair(mac);
    ap_mac_to_ip.emplace(mac, ip);
    macs_by_ip[ip].insert(mac);
}

template <class Side>
void ApRegistry<Side>::unpair(const MacAddr& mac) {
    const auto it = ap_mac_to_ip.find(mac);
    if (it == ap_mac_to_ip.end())
        return;
    const auto macs = macs_by_ip.find(it->second);
    macs->second.erase(mac);
    if (macs->second.empty())
        macs_by_ip.erase(macs);
    ap_mac_to_ip.erase(it);
}

template <class Side>
bool ApRegistry<Side>::assign_mac_ip(const MacAddr& mac, const std::string& ip) {
    if (!ap_data.contains(ip))
        return false;
    // A MAC declared again from another address follows it there.
    pair(mac, ip);
    return true;
}

template <class Side>
int ApRegistry<Side>::process_request(const std::string& ip) {
    const std::shared_ptr<Handler> ap = find(ip);
    if (!ap)
        return NOT_TRACKED;
    if (ap->path == "/report/ap")
        return REPORT;

    std::shared_ptr<ApRequestParams> params = parse_json_ap_request(ap->body);
    if (!params) {
        Side::report("can`t parse json: " + ap->body, ip, {}, {}, {});
        return BAD_JSON;
    }
    Side::report("connection path /register/ap, valid AP json", ip, params->mac,
                 params->device_type, params->sw_version);
    if (!assign_mac_ip(params->mac, ip))
        return NO_MAC_IP_PAIR;
    return ap->on_request(std::move(params), ip);
}

template <class Side>
void ApRegistry<Side>::tick(const timespec& now) {
    if (now.tv_sec == last_second.tv_sec)
        return;
    expiry_step();
    last_second = now;
}

template <class Side>
void ApRegistry<Side>::expiry_step() {
    for (auto it = ap_data.begin(); it != ap_data.end();) {
        // Held here so that the handler outlives its erasure below.
        const std::shared_ptr<Handler> ap = it->second;
        if (ap->countdown-- != 1) {
            ++it;
            continue;
        }
        const std::string& ip = it->first;
        const std::shared_ptr<ApRequestParams> params = ap->params;
        const std::optional<MacAddr> mac = find_mac(ip);

        Side::trace_expiry(ip, *ap, mac);
        if (params) {
            Side::report(Side::kExpiredReason, ip, mac, params->device_type, params->sw_version);
            Side::expired_record(params->mac);
            unpair(params->mac);
        } else {
            Side::report(Side::kExpiredReason, ip, mac, {}, {});
        }
        it = ap_data.erase(it);
    }
}

template <class Side>
void ApRegistry<Side>::clear() {
    ap_data.clear();
    ap_mac_to_ip.clear();
    macs_by_ip.clear();
}

template <class Side>
lcw_data_t* ApRegistry<Side>::mac_statuses() const {
    CfgTree tree(cfg_get_empty());
    if (!tree)
        return nullptr;
    for (const auto& [ip, ap] : ap_data) {
        if (!ap->params)
            continue;
        // APs that declared the same MAC write into the same member.
        lcw_data_t* member =
            cfg_insert_empty_subtree_or_exists(tree.get(), ap->params->mac.text().data());
        if (member != nullptr) {
            cfg_insert_child_string(member, "sa-status", Side::sa_status(*ap).c_str());
        }
    }
    return tree.release();
}

template <class Side>
void ApRegistry<Side>::collect_infos(std::vector<SaApsInfo::ApInfo>& out) const {
    for (const auto& [ip, ap] : ap_data) {
        if (!ap->params)
            continue;
        out.push_back(make_ap_info(ip, *ap->params, Side::list_state(*ap)));
        Side::trace_listed(ip, *ap);
    }
}

template class ApRegistry<TrackedSide>;
template class ApRegistry<UnauthedSide>;
