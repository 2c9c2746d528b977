#pragma once
// The endpoint for APs whose client certificate matches the copy the controller
// stored for them.

#include "https/lws_server_base.h"

class LwsServerAuthorized : public LwsServerBase {
  public:
    using LwsServerBase::LwsServerBase;
    ~LwsServerAuthorized() override = default;

  protected:
    bool is_enabled(const SaConfig& config) const override;
    bool start(const SaConfig& config) override;
};
