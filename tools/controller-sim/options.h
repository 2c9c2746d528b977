#pragma once
// Command line of dor-controller-sim.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct SimOptions {
    std::string ipc_dir;  // empty: DOR_IPC_DIR, else the default directory
    uint32_t base_port = 8043;
    bool auto_auth = false;
    std::string ca_cert;
    std::string ca_key;
    std::string server_cert;
    std::string server_key;
    std::string ap_cert_dir;
    std::string delivery_dir;
    std::string fw_dir;
    std::string policy_file;  // empty: the built-in policy
    int check_delay_ms = 0;
    int cert_delay_ms = 0;
    int connect_timeout_s = 10;
    std::string events_file;  // empty: standard output
    bool quiet = false;
    bool help = false;
    bool version = false;
};

// Null with `error` set on a malformed command line or a missing required option.
std::optional<SimOptions> parse_sim_options(const std::vector<std::string>& args,
                                            std::string* error);

std::string sim_usage_text();
