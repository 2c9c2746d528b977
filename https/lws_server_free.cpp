#include "https/lws_server_free.h"

#include <libwebsockets.h>

#include "dialogue/sa_config.h"
#include "https/answer.h"
#include "https/protocols.h"
#include "https/self_signed.h"

namespace {

constexpr int kLwsLogLevel = LLL_ERR | LLL_WARN | LLL_NOTICE;

}  // namespace

bool LwsServerFree::is_enabled(const SaConfig& config) const {
    return config.incoming_connections == 0;
}

bool LwsServerFree::start(const SaConfig& config) {
    lws_set_log_level(kLwsLogLevel, lws_log_to_trace);
    lws_context_creation_info info{};
    info.port = static_cast<int>(config.free_port);
    info.protocols = kFreeProtocols;
    info.mounts = &kFreeMounts;
    info.vhost_name = "free server";
    info.ssl_cert_filepath = kSelfSignedCert;
    info.ssl_private_key_filepath = kSelfSignedKey;
    info.options = LWS_SERVER_OPTION_DO_SSL_GLOBAL_INIT | LWS_SERVER_OPTION_DISABLE_IPV6;
    info.alpn = kAlpn;
    info.user = this;
    ensure_self_signed_files(kSelfSignedCert, kSelfSignedKey);
    return create_vhost(info, "LwsServerFree");
}
