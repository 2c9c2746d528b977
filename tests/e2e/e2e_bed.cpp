#include "tests/e2e/e2e_bed.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "libs/board/board_types.h"
#include "libs/ipc/ipc_port.h"

namespace {

bool can_bind(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    const bool ok = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}

bool listening(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}

// Two free neighbouring ports in the ephemeral range, picked by the kernel.
int free_port_pair() {
    for (int attempt = 0; attempt < 50; ++attempt) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        socklen_t size = sizeof addr;
        bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &size);
        close(fd);
        const int port = ntohs(addr.sin_port);
        if (port < 65535 && can_bind(port) && can_bind(port + 1)) {
            return port;
        }
    }
    return 0;
}

std::string read_text(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_text(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
}

void stop(std::unique_ptr<Subprocess>& process) {
    if (!process) {
        return;
    }
    process->signal(SIGTERM);
    // Both end with 0 on SIGTERM; anything else (a sanitizer report) is a fault.
    const auto status = process->wait_exit(std::chrono::seconds(10));
    EXPECT_EQ(status, 0) << process->stderr_text();
    process.reset();
}

}  // namespace

json_t* ApRun::ap(const std::string& mac) const {
    json_t* rows = json_object_get(report.get(), "aps");
    for (size_t i = 0; i < json_array_size(rows); ++i) {
        json_t* row = json_array_get(rows, i);
        if (mac == json_string_value(json_object_get(row, "mac"))) {
            return row;
        }
    }
    return nullptr;
}

std::string ApRun::field(const std::string& mac, const char* key) const {
    const char* text = json_string_value(json_object_get(ap(mac), key));
    return text != nullptr ? text : "<none>";
}

long long ApRun::number(const std::string& mac, const char* key) const {
    return json_integer_value(json_object_get(ap(mac), key));
}

E2eBed::E2eBed(const BedConfig& config) {
    namespace fs = std::filesystem;
    for (const char* sub : {"ipc", "pki", "ap_certs", "delivery", "fw"}) {
        fs::create_directories(dir() + "/" + sub);
    }
    const std::string pki = dir() + "/pki";
    if (std::system((std::string(DOR_MAKE_PKI) + " " + pki).c_str()) != 0) {
        ADD_FAILURE() << "make-pki failed";
        return;
    }
    for (const FwImage& image : config.images) {
        const auto version = FwVersionInfo::from_str(image.version);
        if (!version || !dorbt_write_firmware_image(dir() + "/fw/" + image.name, image.board,
                                                    *version, image.size)) {
            ADD_FAILURE() << "cannot write " << image.name;
            return;
        }
    }
    write_text(dir() + "/policy.json", config.policy);
    port_ = free_port_pair();
    if (port_ == 0) {
        ADD_FAILURE() << "no free ports";
        return;
    }
    const std::map<std::string, std::string> env = {{"DOR_IPC_DIR", dir() + "/ipc"}};
    service_ = std::make_unique<Subprocess>(Subprocess::Spec{
        DOR_SUPERVISOR_BINARY, {"dor-supervisor", "--service", DOR_SA_BINARY}, env, {}});
    std::vector<std::string> argv = {"dor-controller-sim",
                                     "--base-port",
                                     std::to_string(port_),
                                     "--ca-cert",
                                     pki + "/ca.pem",
                                     "--ca-key",
                                     pki + "/ca.key",
                                     "--server-cert",
                                     pki + "/server.pem",
                                     "--server-key",
                                     pki + "/server.key",
                                     "--ap-cert-dir",
                                     dir() + "/ap_certs",
                                     "--delivery-dir",
                                     delivery_dir(),
                                     "--fw-dir",
                                     dir() + "/fw",
                                     "--policy",
                                     dir() + "/policy.json",
                                     "--events",
                                     dir() + "/events.jsonl",
                                     "--check-delay-ms",
                                     std::to_string(config.check_delay_ms)};
    if (config.auto_auth) {
        argv.push_back("--auto-auth");
    }
    controller_ =
        std::make_unique<Subprocess>(Subprocess::Spec{DOR_CONTROLLER_SIM_BINARY, argv, env, {}});
    ready_ = eventually([&] { return listening(port_) && listening(port_ + 1); });
    if (!ready_) {
        ADD_FAILURE() << "the endpoints never listened\nservice:\n"
                      << service_->stderr_text() << "\ncontroller:\n"
                      << controller_->stderr_text();
    }
}

E2eBed::~E2eBed() {
    stop(controller_);
    stop(service_);
}

std::vector<std::string> E2eBed::ap_sim_args(const std::vector<std::string>& args) const {
    std::vector<std::string> argv = {"dor-ap-sim",   "--free-port",         std::to_string(port_),
                                     "--server-ca",  dir() + "/pki/ca.pem", "--delivery-dir",
                                     delivery_dir(), "--poll-ms",           "100",
                                     "--json"};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

std::unique_ptr<Subprocess> E2eBed::start_aps(const std::vector<std::string>& args,
                                              const std::string& report_path) {
    std::vector<std::string> argv = ap_sim_args(args);
    argv.push_back("--out");
    argv.push_back(report_path);
    return std::make_unique<Subprocess>(Subprocess::Spec{DOR_AP_SIM_BINARY, argv, {}, {}});
}

ApRun E2eBed::finish(Subprocess& aps, const std::string& report_path, std::chrono::seconds limit) {
    ApRun run;
    run.status = aps.wait_exit(limit);
    run.stderr_text = aps.stderr_text();
    json_error_t error;
    run.report.reset(json_load_file(report_path.c_str(), 0, &error));
    if (!run.report) {
        ADD_FAILURE() << "no ap-sim report: " << error.text << "\n" << run.stderr_text;
    }
    return run;
}

ApRun E2eBed::run_aps(const std::vector<std::string>& args, std::chrono::seconds limit) {
    const std::string report = dir() + "/report-" + std::to_string(++report_seq_) + ".json";
    auto aps = start_aps(args, report);
    return finish(*aps, report, limit);
}

std::vector<JsonPtr> E2eBed::events() const {
    std::vector<JsonPtr> lines;
    std::istringstream text(read_text(dir() + "/events.jsonl"));
    std::string line;
    while (std::getline(text, line)) {
        lines.emplace_back(json_loads(line.c_str(), 0, nullptr));
        EXPECT_TRUE(lines.back()) << "not JSON: " << line;
    }
    return lines;
}

IpcClient E2eBed::admin(const std::vector<uint32_t>& types) const {
    IpcClient client;
    std::string error;
    EXPECT_TRUE(client.connect(dir() + "/ipc", SA_PORT_ID, &error)) << error;
    EXPECT_TRUE(client.subscribe(types));
    return client;
}
