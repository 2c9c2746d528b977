#include "tools/controller-sim/controller_sim.h"

#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <thread>

#include "libs/ipc/ipc_port.h"
#include "libs/trace/trace_format.h"

namespace {

std::string text_of(const SharedString& text) {
    return text ? *text : std::string();
}

}  // namespace

ControllerSim::ControllerSim(SimOptions opts, Policy policy, CertAuthority ca, EventLog& events)
    : opts_(std::move(opts)), policy_(std::move(policy)), ca_(std::move(ca)), events_(events) {}

void ControllerSim::say(const char* fmt, ...) const {
    if (opts_.quiet) {
        return;
    }
    char line[1024];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(line, sizeof line, fmt, args);
    va_end(args);
    std::fprintf(stderr, "%s dor-controller-sim: %s\n", trace_time_now().c_str(), line);
}

bool ControllerSim::connect(std::string* error) {
    const std::string dir = opts_.ipc_dir.empty() ? ipc_default_dir() : opts_.ipc_dir;
    const auto deadline = TimerQueue::Clock::now() + std::chrono::seconds(opts_.connect_timeout_s);
    // The service may still be starting: its socket appears when it listens.
    while (!client_.connect(dir, SA_PORT_ID, error)) {
        if (TimerQueue::Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (!client_.subscribe({IPC_MSG__FW_AP_CHECK::kType, IPC_MSG__SA_GET_CREDENTIALS::kType,
                            IPC_MSG__SA_CERT_AUTH_AP::kType, IPC_MSG__SA_AP_EVENT::kType,
                            IPC_MSG__SA_AP_REG_TIMEOUT::kType})) {
        *error = "cannot subscribe";
        return false;
    }
    return true;
}

void ControllerSim::configure() {
    IPC_MSG__SA_PORTS ports;
    ports.base_port = opts_.base_port;
    ports.auto_auth = opts_.auto_auth ? 1 : 0;
    IPC_MSG__SA_TLS_FILES tls;
    tls.ca_file = make_shared_string(opts_.ca_cert);
    tls.key_file = make_shared_string(opts_.server_key);
    tls.cert_file = make_shared_string(opts_.server_cert);
    tls.ap_cert_dir = make_shared_string(opts_.ap_cert_dir);
    IPC_MSG__SA_FW_DIR fw;
    fw.dir = make_shared_string(opts_.fw_dir);
    IPC_MSG__INCOMING_CONNECTIONS incoming;
    incoming.mode = 0;
    // Mode 0 last: it starts both endpoints, by then on the right ports with their files.
    for (const IMsg* msg : {static_cast<const IMsg*>(&ports), static_cast<const IMsg*>(&tls),
                            static_cast<const IMsg*>(&fw), static_cast<const IMsg*>(&incoming)}) {
        client_.send(*msg);
    }
    say("configured: ports %u/%u, auto-auth %s, firmware in %s", opts_.base_port,
        opts_.base_port + 1, opts_.auto_auth ? "on" : "off", opts_.fw_dir.c_str());
}

int ControllerSim::serve(int signal_fd) {
    for (;;) {
        const auto now = TimerQueue::Clock::now();
        timers_.run_due(now);
        if (!client_.connected()) {
            say("the service closed the connection");
            return 0;
        }
        pollfd fds[2] = {{client_.fd(), POLLIN, 0}, {signal_fd, POLLIN, 0}};
        const int ready = poll(fds, 2, timers_.wait_ms(TimerQueue::Clock::now(), 1000));
        if (ready < 0 && errno != EINTR) {
            std::perror("dor-controller-sim: poll");
            return 1;
        }
        if (fds[1].revents & POLLIN) {
            signalfd_siginfo info{};
            if (read(signal_fd, &info, sizeof info) == sizeof info) {
                if (info.ssi_signo == SIGHUP) {
                    configure();
                } else {
                    say("stopping on signal %u", info.ssi_signo);
                    return 0;
                }
            }
        }
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            std::string why;
            while (auto msg = client_.receive(0, &why)) {
                handle(*msg);
            }
            if (why != "timeout" && !client_.connected()) {
                say("the service went away (%s)", why.c_str());
                return 0;
            }
        }
    }
}

void ControllerSim::handle(const IMsg& msg) {
    if (auto* check = dynamic_cast<const IPC_MSG__FW_AP_CHECK*>(&msg)) {
        on_check(*check);
    } else if (auto* creds = dynamic_cast<const IPC_MSG__SA_GET_CREDENTIALS*>(&msg)) {
        on_credentials(*creds);
    } else if (auto* cert = dynamic_cast<const IPC_MSG__SA_CERT_AUTH_AP*>(&msg)) {
        on_cert_request(*cert);
    } else if (auto* event = dynamic_cast<const IPC_MSG__SA_AP_EVENT*>(&msg)) {
        events_.write(*event);
    } else if (auto* timeout = dynamic_cast<const IPC_MSG__SA_AP_REG_TIMEOUT*>(&msg)) {
        events_.write(*timeout);
    }
}

void ControllerSim::send_later(int delay_ms, std::shared_ptr<IMsg> msg) {
    if (delay_ms <= 0) {
        client_.send(*msg);
        return;
    }
    timers_.add(TimerQueue::Clock::now() + std::chrono::milliseconds(delay_ms),
                [this, msg] { client_.send(*msg); });
}

void ControllerSim::on_check(const IPC_MSG__FW_AP_CHECK& msg) {
    const MacAddr mac = MacAddr::from_str(text_of(msg.mac).c_str());
    const std::string type = text_of(msg.device_type);
    const std::string version = text_of(msg.sw_version);
    const CheckDecision decision = policy_.check(mac, type, version);
    auto reply = std::make_shared<IPC_MSG__FW_AP_CHECK_RESULT>();
    reply->mac = msg.mac;
    reply->mode = decision.mode;
    reply->verdict = decision.verdict;
    reply->fw_result = decision.fw_result;
    reply->fw_file = make_shared_string(decision.fw_file);
    reply->check_crt = decision.check_crt ? 1 : 0;
    reply->tracked = msg.authorized ? 1 : 0;
    say("check %s %s %s (%s, kind %u): firmware result %u, mode %u, verdict %u%s%s",
        mac.str().c_str(), type.c_str(), version.c_str(), msg.authorized ? "authorized" : "free",
        msg.kind, decision.fw_result, decision.mode, decision.verdict,
        decision.fw_file.empty() ? "" : ", image ", decision.fw_file.c_str());
    send_later(opts_.check_delay_ms, std::move(reply));
}

void ControllerSim::on_credentials(const IPC_MSG__SA_GET_CREDENTIALS& msg) {
    const MacAddr mac = MacAddr::from_str(text_of(msg.mac).c_str());
    IPC_MSG__SA_CREDENTIALS reply;
    reply.mac = msg.mac;
    reply.password = make_shared_string(policy_.password(mac));
    say("credentials for %s", mac.str().c_str());
    client_.send(reply);
}

void ControllerSim::on_cert_request(const IPC_MSG__SA_CERT_AUTH_AP& msg) {
    const MacAddr mac = MacAddr::from_str(text_of(msg.mac).c_str());
    auto reply = std::make_shared<IPC_MSG__SA_CERT_AUTH_AP_RESULT>();
    reply->ip = msg.ip;
    reply->mac = msg.mac;
    reply->result = issue_certificate(mac);
    say("certificate request for %s at %s: result %u", mac.str().c_str(), text_of(msg.ip).c_str(),
        reply->result);
    send_later(opts_.cert_delay_ms, std::move(reply));
}

uint32_t ControllerSim::issue_certificate(const MacAddr& mac) {
    constexpr uint32_t kNotGenerated = 2;
    const CertRules rules = policy_.cert_rules(mac);
    if (rules.result != 0) {
        return rules.result;
    }
    const auto issued = mac.valid ? ca_.issue(mac) : std::nullopt;
    if (!issued) {
        say("cannot issue a certificate for %s", mac.str().c_str());
        return kNotGenerated;
    }
    std::string stored = issued->cert_pem;
    if (rules.stored_differs) {
        const auto other = ca_.issue(mac);
        if (!other) {
            return kNotGenerated;
        }
        stored = other->cert_pem;
    }
    const std::string stored_path = stored_cert_path(opts_.ap_cert_dir, issued->serial);
    // The key before the certificate: an AP takes the certificate as the sign that both are there.
    const bool written =
        (!rules.store || write_file_atomic(stored_path, stored)) &&
        write_file_atomic(delivered_key_path(opts_.delivery_dir, mac), issued->key_pem, 0600) &&
        write_file_atomic(delivered_cert_path(opts_.delivery_dir, mac), issued->cert_pem);
    if (!written) {
        say("cannot write the certificate files of %s: %s", mac.str().c_str(),
            std::strerror(errno));
        return kNotGenerated;
    }
    say("issued certificate %s for %s%s", issued->serial.c_str(), mac.str().c_str(),
        !rules.store           ? " (not stored)"
        : rules.stored_differs ? " (stored copy differs)"
                               : "");
    return 0;
}
