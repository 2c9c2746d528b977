#include "tests/https/https_bed.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <utility>

#include "dialogue/ap_data_authorized.h"
#include "dialogue/ap_data_unauthorized.h"
#include "platform/globals.h"

namespace {

using Clock = std::chrono::steady_clock;

timespec monotonic_now() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

// -1 when `port` cannot be bound on every address.
int bound_socket(uint32_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_ANY)}, {}};
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool port_free(uint32_t port) {
    const int fd = bound_socket(port);
    close(fd);
    return fd >= 0;
}

SaConfig& enabled_config(SaConfig& config) {
    const TestPki& pki = test_pki();
    config.set_ports(free_port_pair());
    config.set_incoming_connections(0);
    config.set_tls_files(TlsFiles{pki.path("ca.pem"), pki.path("server.pem"),
                                  pki.path("server.key"), pki.ap_cert_dir()});
    return *(g_sa_config = &config);
}

}  // namespace

const TestPki& test_pki() {
    static TempDir dir;
    static const TestPki pki = [] {
        const std::string command = std::string(DOR_MAKE_TEST_PKI) + " " + dir.path() + "/pki";
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
        return TestPki{dir.path() + "/pki"};
    }();
    return pki;
}

uint32_t free_port_pair() {
    static uint32_t next = 20000 + static_cast<uint32_t>(getpid() % 2000) * 10;
    for (int tries = 0; tries < 1000; ++tries, next += 2) {
        if (port_free(next) && port_free(next + 1))
            return (next += 2) - 2;
    }
    ADD_FAILURE() << "no free port pair";
    return 0;
}

std::string ap_body(const std::string& mac) {
    return R"({"deviceType":"DOR-AP-1","swVersion":"1.2.3","hwVersion":"A","serial":"S-)" + mac +
           R"(","mac":")" + mac + R"(","timeout":30})";
}

ClientOptions endpoint_client(const Endpoint& endpoint, const std::string& ip) {
    const TestPki& pki = test_pki();
    return endpoint.authorized ? client_at(ip, pki.path("ap1.pem"), pki.path("ap1.key"))
                               : client_at(ip);
}

int endpoint_port(const HttpsBed& bed, const Endpoint& endpoint) {
    return endpoint.authorized ? bed.auth_port() : bed.free_port();
}

std::shared_ptr<ApDataBase> endpoint_ap(HttpsBed& bed, const Endpoint& endpoint,
                                        const std::string& ip) {
    return endpoint.authorized ? std::shared_ptr<ApDataBase>(bed.tracked.find(ip))
                               : bed.unauthed.find(ip);
}

std::future<HttpAnswer> post_held(HttpsBed& bed, const Endpoint& endpoint, const std::string& ip,
                                  const std::string& request) {
    auto answer = std::async(std::launch::async, [client = endpoint_client(endpoint, ip),
                                                  port = endpoint_port(bed, endpoint), request] {
        return exchange(client, port, request);
    });
    EXPECT_TRUE(bed.run_until([&] {
        auto ap = endpoint_ap(bed, endpoint, ip);
        return ap && ap->params;
    }));
    return answer;
}

std::vector<std::string> lines_starting(const TraceCapture& trace, const std::string& prefix) {
    std::vector<std::string> out;
    for (const auto& line : trace.lines) {
        if (line.text.rfind(prefix, 0) == 0)
            out.push_back(line.text);
    }
    return out;
}

std::vector<int> refusal_counts(const TraceCapture& trace, const std::string& prefix) {
    std::vector<int> counts;
    for (const std::string& line : lines_starting(trace, prefix)) {
        const size_t at = line.find("since the last line: ");
        counts.push_back(at == std::string::npos ? -1 : std::atoi(line.c_str() + at + 21));
    }
    return counts;
}

PortTaker::PortTaker(uint32_t port) : fd(bound_socket(port)) {
    EXPECT_EQ(listen(fd, 1), 0);
}
PortTaker::~PortTaker() {
    close(fd);
}

HttpsBed::Globals::~Globals() {
    g_sa_config = nullptr;
    g_tracked_aps = nullptr;
    g_unauthed_aps = nullptr;
    g_ipc_port = nullptr;
    g_free_server = nullptr;
    g_auth_server = nullptr;
    g_board_types = nullptr;
}

HttpsBed::HttpsBed()
    : tracked(enabled_config(config), monotonic_now()),
      unauthed(config, monotonic_now()),
      board_types(dorbt_get_board_types_params()),
      servers((g_ipc_port = &ipc.port, config)) {
    g_tracked_aps = &tracked;
    g_unauthed_aps = &unauthed;
    g_board_types = &board_types;
    g_free_server = &servers.free_server();
    g_auth_server = &servers.auth_server();
    armed_second = monotonic_now().tv_sec;
    ipc.port.register_msg_callback(
        [this](const IMsg&, IpcPort&, void*) -> Error {
            if (!handlers.empty()) {
                handlers.front()();
                handlers.erase(handlers.begin());
            }
            return 0;
        },
        nullptr);
}

void HttpsBed::from_controller(std::function<void()> handler) {
    handlers.push_back(std::move(handler));
    EXPECT_EQ(ipc.client.send(IPC_MSG__TZ_UPDATE{}), IPC_OK);
}

void HttpsBed::start_servers() {
    servers.free_server().restart(config);
    servers.auth_server().restart(config);
}

void HttpsBed::turn(int wait_ms) {
    const timespec now = monotonic_now();
    const int delivered = ipc.port.run_once_for_timeout(0);
    while (auto msg = ipc.client.receive(0)) {
        sent.push_back(std::move(msg));
    }
    if (delivered > 0)
        servers.arm_waiting();
    servers.service(wait_ms);
    tracked.tick(now);
    unauthed.tick(now);
    if (std::exchange(armed_second, now.tv_sec) != now.tv_sec)
        servers.arm_waiting();
}

bool HttpsBed::run_until(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() >= deadline)
            return done();
        turn();
    }
    return true;
}

bool HttpsBed::has_event(const std::string& reason) const {
    const auto events = sent_as<IPC_MSG__SA_AP_EVENT>();
    return std::any_of(events.begin(), events.end(), [&](const auto& event) {
        return event->reason && *event->reason == reason;
    });
}
