#pragma once
// The endpoint for APs without a certificate yet: self-signed server
// certificate, no client certificate, at most 100 requests at once.

#include "https/lws_server_base.h"

class LwsServerFree : public LwsServerBase {
  public:
    using LwsServerBase::LwsServerBase;
    ~LwsServerFree() override = default;

  protected:
    bool is_enabled(const SaConfig& config) const override;
    bool start(const SaConfig& config) override;
};
