#include "tests/e2e/e2e_bed.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "libs/board/board_types.h"
#include "libs/ipc/ipc_port.h"
#include "tests/https/https_bed.h"

namespace {

// Split at blanks; the bed's paths have none.
std::vector<std::string> words(const std::string& line) {
    std::istringstream in(line);
    return {std::istream_iterator<std::string>(in), {}};
}

}  // namespace

json_t* ApRun::ap(const std::string& mac) const {
    json_t* rows = json_object_get(report.get(), "aps");
    for (size_t i = 0; i < json_array_size(rows); ++i)
        if (text(json_array_get(rows, i), "mac") == mac)
            return json_array_get(rows, i);
    return nullptr;
}

E2eBed::E2eBed(const BedConfig& config) {
    const std::string d = dir() + "/";
    for (const char* sub : {"ipc", "ap_certs", "delivery", "fw"})
        std::filesystem::create_directories(d + sub);
    std::ofstream(d + "policy.json") << config.policy;
    bool made = std::system((std::string(DOR_MAKE_PKI) + " " + d + "pki").c_str()) == 0 &&
                (port_ = static_cast<int>(free_port_pair())) != 0;
    for (const FwImage& image : config.images) {
        const auto version = FwVersionInfo::from_str(image.version);
        made =
            made && version &&
            dorbt_write_firmware_image(d + "fw/" + image.name, image.board, *version, image.size);
    }
    if (!made) {
        ADD_FAILURE() << "cannot make the PKI, the images or two free ports";
        return;
    }
    const std::map<std::string, std::string> env = {{"DOR_IPC_DIR", d + "ipc"}};
    auto service_env = env;
    if (!config.edge_limits.empty())
        service_env["DOR_SA_TEST_ONLY_EDGE_LIMITS"] = config.edge_limits;
    service = std::make_unique<Subprocess>(Subprocess::Launch{
        DOR_SUPERVISOR_BINARY, {"dor-supervisor", "--service", DOR_SA_BINARY}, service_env, {}});
    const std::string pki = d + "pki/";
    std::vector<std::string> argv = words(
        "dor-controller-sim --base-port " + std::to_string(port_) + " --ca-cert " + pki +
        "ca.pem --ca-key " + pki + "ca.key --server-cert " + pki + "server.pem --server-key " +
        pki + "server.key --ap-cert-dir " + d + "ap_certs --delivery-dir " + delivery_dir() +
        " --fw-dir " + d + "fw --policy " + d + "policy.json --events " + d +
        "events.jsonl --check-delay-ms " + std::to_string(config.check_delay_ms));
    if (config.auto_auth)
        argv.push_back("--auto-auth");
    controller =
        std::make_unique<Subprocess>(Subprocess::Launch{DOR_CONTROLLER_SIM_BINARY, argv, env, {}});
    ready = wait_listening(port_, std::chrono::seconds(10)) &&
            wait_listening(port_ + 1, std::chrono::seconds(10));
    EXPECT_TRUE(ready) << "the endpoints never listened\nservice:\n"
                       << service->stderr_text() << "\ncontroller:\n"
                       << controller->stderr_text();
}

E2eBed::~E2eBed() {
    for (Subprocess* process : {controller.get(), service.get()}) {
        if (process != nullptr) {
            process->signal(SIGTERM);
            // Both end with 0 on SIGTERM; anything else (a sanitizer report) is a fault.
            EXPECT_EQ(process->wait_exit(std::chrono::seconds(10)), 0) << process->stderr_text();
        }
    }
}

ApRun E2eBed::run_aps(const std::vector<std::string>& args,
                      const std::function<void()>& meanwhile) {
    const std::string report = dir() + "/report-" + std::to_string(++runs_) + ".json";
    std::vector<std::string> argv = words(
        "dor-ap-sim --poll-ms 100 --json --free-port " + std::to_string(port_) + " --server-ca " +
        dir() + "/pki/ca.pem --delivery-dir " + delivery_dir() + " --out " + report);
    argv.insert(argv.end(), args.begin(), args.end());
    Subprocess aps({DOR_AP_SIM_BINARY, argv, {}, {}});
    if (meanwhile)
        meanwhile();
    ApRun run{aps.wait_exit(std::chrono::seconds(60)), nullptr, aps.stderr_text()};
    json_error_t error;
    run.report.reset(json_load_file(report.c_str(), 0, &error));
    EXPECT_TRUE(run.report) << "no ap-sim report: " << error.text << "\n" << run.stderr_text;
    return run;
}

std::vector<JsonPtr> E2eBed::events() const {
    std::vector<JsonPtr> lines;
    std::ifstream in(dir() + "/events.jsonl");
    for (std::string line; std::getline(in, line);) {
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
