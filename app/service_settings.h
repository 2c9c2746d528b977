#pragma once
// The controller's settings messages: ports and auto-authentication (130),
// firmware directory (138), TLS files (139), reset (144) and incoming
// connections (145). Each changes the configuration and restarts the servers
// that depend on what changed.

#include <cstdint>
#include <string>

class SaConfig;
class LwsServerBase;

// What the ports message compares before and after.
struct PortSettings {
    uint32_t free_port = 0;
    uint32_t auth_port = 0;
    bool auto_auth = false;

    static PortSettings of(const SaConfig& config);
};

struct ServerRestarts {
    bool free_server = false;
    bool auth_server = false;
    friend bool operator==(const ServerRestarts&, const ServerRestarts&) = default;
};

// A server restarts when what it listens with changed or it is not running.
ServerRestarts ports_restarts(const PortSettings& before, const PortSettings& after,
                              bool free_running, bool auth_running);

// The servers the settings act on; either may be absent (no HTTPS yet).
struct Servers {
    LwsServerBase* free_server = nullptr;
    LwsServerBase* auth_server = nullptr;
};

void apply_ports(SaConfig& config, Servers servers, uint32_t base_port, bool auto_auth);
void apply_tls_files(SaConfig& config, Servers servers, const std::string& ca_file,
                     const std::string& key_file, const std::string& cert_file,
                     const std::string& ap_cert_dir);
void apply_incoming_connections(SaConfig& config, Servers servers, uint32_t mode);
