#pragma once
// The simulated controller: one IPC connection to the service, answers by the
// policy, certificates from its CA, deferred answers on a timer queue.

#include <string>

#include "libs/ipc/ipc_client.h"
#include "libs/ipc/messages.h"
#include "tools/controller-sim/cert_authority.h"
#include "tools/controller-sim/event_log.h"
#include "tools/controller-sim/options.h"
#include "tools/controller-sim/policy.h"
#include "tools/controller-sim/timer_queue.h"

class ControllerSim {
  public:
    ControllerSim(SimOptions opts, Policy policy, CertAuthority ca, EventLog& events);

    // Connects (retrying until the connect time-out) and subscribes; false with `error`.
    bool connect(std::string* error);
    // The configuration messages, in an order that never starts an endpoint on a
    // port that is about to change.
    void configure();
    // Serves until SIGINT/SIGTERM on `signal_fd` or until the service goes away;
    // SIGHUP configures again. Returns the exit status.
    int serve(int signal_fd);

    // The answer to a certificate request, 141 result included; public for tests.
    uint32_t issue_certificate(const MacAddr& mac);

  private:
    void handle(const IMsg& msg);
    void on_check(const IPC_MSG__FW_AP_CHECK& msg);
    void on_credentials(const IPC_MSG__SA_GET_CREDENTIALS& msg);
    void on_cert_request(const IPC_MSG__SA_CERT_AUTH_AP& msg);
    void send_later(int delay_ms, std::shared_ptr<IMsg> msg);
    void say(const char* fmt, ...) const __attribute__((format(printf, 2, 3)));

    SimOptions opts_;
    Policy policy_;
    CertAuthority ca_;
    EventLog& events_;
    IpcClient client_;
    TimerQueue timers_;
};
