#include "app/service_settings.h"

#include "dialogue/sa_config.h"
#include "https/lws_server_base.h"
#include "libs/common/incoming_connections.h"
#include "libs/trace/trace.h"
#include "platform/globals.h"

namespace {

bool running(const LwsServerBase* server) {
    return server && server->state() == RUNNING;
}

void restart(LwsServerBase* server, const SaConfig& config) {
    if (server) {
        server->restart(config);
    }
}

}  // namespace

PortSettings PortSettings::of(const SaConfig& config) {
    return {config.free_port, config.auth_port, config.auto_auth};
}

ServerRestarts ports_restarts(const PortSettings& before, const PortSettings& after,
                              bool free_running, bool auth_running) {
    return {
        .free_server = before.free_port != after.free_port || before.auto_auth != after.auto_auth ||
                       !free_running,
        .auth_server = before.auth_port != after.auth_port || !auth_running,
    };
}

void apply_ports(SaConfig& config, Servers servers, uint32_t base_port, bool auto_auth) {
    const PortSettings before = PortSettings::of(config);
    config.set_ports(base_port);
    config.auto_auth = auto_auth;
    const ServerRestarts restarts =
        ports_restarts(before, PortSettings::of(config), running(servers.free_server),
                       running(servers.auth_server));
    if (restarts.free_server) {
        restart(servers.free_server, config);
    }
    if (restarts.auth_server) {
        restart(servers.auth_server, config);
    }
}

void apply_tls_files(SaConfig& config, Servers servers, const std::string& ca_file,
                     const std::string& key_file, const std::string& cert_file,
                     const std::string& ap_cert_dir) {
    config.set_tls_files(TlsFiles{
        .ca_file = ca_file,
        .cert_file = cert_file,
        .key_file = key_file,
        .ap_cert_dir = ap_cert_dir,
    });
    restart(servers.auth_server, config);
}

void apply_incoming_connections(SaConfig& config, Servers servers, uint32_t mode) {
    sa_trace.ap("Setup incoming connections: %s", IncomingConnectionsToStrX(mode).c_str());
    config.set_incoming_connections(mode);
    restart(servers.free_server, config);
    restart(servers.auth_server, config);
}
