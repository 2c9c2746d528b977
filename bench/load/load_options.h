#pragma once
// Command line of dor-tls-load.

#include <optional>
#include <string>
#include <vector>

#include "bench/load/ap_identity.h"

struct LoadOptions {
    std::string host = "127.0.0.1";
    int port = 0;
    std::string method = "POST";
    std::string path = "/ott/register/ap";
    // One untimed POST per AP before the measured requests (an upgrade order, say).
    std::string prepare_path;
    int clients = 1;
    // Either a duration (each AP asks again as soon as it is answered) or a
    // number of rounds (all APs ask at once, the next round when all are done).
    int duration_s = 0;
    int rounds = 0;
    int request_timeout_ms = 20000;
    int run_timeout_s = 300;
    Ipv4Addr addr_base = Ipv4Addr::from_str("127.0.2.1");
    MacAddr mac_base = MacAddr::from_str("02:b0:00:00:00:01");
    BodyFields body;
    std::string cert_dir;   // client certificates <BARE MAC>.pem and .key
    std::string server_ca;  // verify the server's chain when set
    int expect_status = 200;
    std::string expect_text;  // must appear in the start of each body
    std::string latencies_out;
    std::string summary_out;
    std::string label;
    int cpu_pid = 0;  // rounds: CPU of this process while every request waits
    int cpu_settle_ms = 200;
    bool help = false;
};

std::optional<LoadOptions> parse_load_options(const std::vector<std::string>& args,
                                              std::string* error);
std::string load_usage_text();
