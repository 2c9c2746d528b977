#include "dialogue/sa_config.h"

#include <cstdio>

#include "libs/cfg/cfg.h"

void SaConfig::set_ports(uint32_t base) {
    free_port = base;
    auth_port = base + 1;
}

void SaConfig::set_incoming_connections(uint32_t mode) {
    incoming_connections = mode;
}

void SaConfig::set_fw_dir(const std::string& dir) {
    fw_dir = dir;
}

void SaConfig::set_tls_files(const TlsFiles& files) {
    ca_file = files.ca_file;
    cert_file = files.cert_file;
    key_file = files.key_file;
    ap_cert_dir = files.ap_cert_dir;
}

void SaConfig::clear_tls_files() {
    set_tls_files(TlsFiles{});
}

void SaConfig::fill_report(lcw_data_t* tree) const {
    fill_report(tree, time(nullptr));
}

void SaConfig::fill_report(lcw_data_t* tree, time_t now) const {
    struct tm local {};
    if (!localtime_r(&now, &local)) {
        return;
    }
    char text[40];  // wide enough for any int field
    snprintf(text, sizeof text, "%02d:%02d:%02d", local.tm_hour, local.tm_min, local.tm_sec);
    cfg_set_param(tree, "current-time", text);
}
