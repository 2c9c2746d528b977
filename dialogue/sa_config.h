#pragma once
// The one service configuration: built-in defaults, changed by the controller's
// messages, read by the endpoints when they start and while they serve.

#include <cstdint>
#include <ctime>
#include <string>

struct lcw_data_t;

// TLS material of the authorized endpoint, in the order the controller names it.
struct TlsFiles {
    std::string ca_file;
    std::string cert_file;
    std::string key_file;
    std::string ap_cert_dir;
};

class SaConfig {
  public:
    static constexpr uint32_t kDefaultFreePort = 8043;
    static constexpr uint32_t kDefaultIncomingConnections = 1;

    virtual ~SaConfig() = default;

    std::string fw_dir;
    uint32_t free_port = kDefaultFreePort;
    bool auto_auth = false;
    uint32_t auth_port = kDefaultFreePort + 1;  // always free_port + 1
    std::string ca_file;
    std::string cert_file;
    std::string key_file;
    std::string ap_cert_dir;
    // An IncomingConnections value; the endpoints may start only while it is 0.
    uint32_t incoming_connections = kDefaultIncomingConnections;

    void set_ports(uint32_t base);
    void set_incoming_connections(uint32_t mode);
    void set_fw_dir(const std::string& dir);
    void set_tls_files(const TlsFiles& files);
    void clear_tls_files();

    // Adds "current-time" (local HH:MM:SS) to the service report.
    void fill_report(lcw_data_t* tree) const;
    void fill_report(lcw_data_t* tree, time_t now) const;
};
