#include "https/lws_server_authorized.h"

#include <libwebsockets.h>

#include <string>

#include "dialogue/sa_config.h"
#include "https/answer.h"
#include "https/protocols.h"

namespace {

constexpr int kLwsLogLevel = LLL_ERR | LLL_WARN | LLL_NOTICE;

}  // namespace

bool LwsServerAuthorized::is_enabled(const SaConfig& config) const {
    return !config.ca_file.empty() && !config.cert_file.empty() && !config.key_file.empty() &&
           !config.ap_cert_dir.empty() && config.incoming_connections == 0;
}

bool LwsServerAuthorized::start(const SaConfig& config) {
    lws_set_log_level(kLwsLogLevel, lws_log_to_trace);
    // Copies: a callback run during the creation may empty the configuration.
    const std::string ca_file = config.ca_file;
    const std::string cert_file = config.cert_file;
    const std::string key_file = config.key_file;
    lws_context_creation_info info{};
    info.port = static_cast<int>(config.auth_port);
    info.protocols = kAuthProtocols;
    info.mounts = &kAuthMounts;
    info.vhost_name = "auth server";
    info.ssl_ca_filepath = ca_file.c_str();
    info.ssl_cert_filepath = cert_file.c_str();
    info.ssl_private_key_filepath = key_file.c_str();
    info.options = LWS_SERVER_OPTION_DO_SSL_GLOBAL_INIT | LWS_SERVER_OPTION_DISABLE_IPV6 |
                   LWS_SERVER_OPTION_REQUIRE_VALID_OPENSSL_CLIENT_CERT;
    info.alpn = kAlpn;
    info.user = this;
    return create_vhost(info, "LwsServerAuthorized");
}
