#include "dialogue/sa_config.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <limits>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "libs/cfg/cfg.h"
#include "platform/cfg_ptr.h"

namespace {

TEST(SaConfig, DefaultsKeepBothEndpointsOff) {
    SaConfig config;
    EXPECT_EQ(config.fw_dir, "");
    EXPECT_EQ(config.free_port, 8043u);
    EXPECT_EQ(config.auth_port, 8044u);
    EXPECT_FALSE(config.auto_auth);
    EXPECT_EQ(config.ca_file, "");
    EXPECT_EQ(config.cert_file, "");
    EXPECT_EQ(config.key_file, "");
    EXPECT_EQ(config.ap_cert_dir, "");
    EXPECT_EQ(config.incoming_connections, 1u);
}

TEST(SaConfig, SetPortsKeepsAuthPortNextToFreePort) {
    struct Case {
        uint32_t base;
        uint32_t free_port;
        uint32_t auth_port;
    };
    const uint32_t max = std::numeric_limits<uint32_t>::max();
    const std::vector<Case> cases = {
        {8043, 8043, 8044}, {9000, 9000, 9001}, {0, 0, 1}, {1, 1, 2}, {max, max, 0},
    };
    for (const auto& c : cases) {
        SaConfig config;
        config.set_ports(c.base);
        EXPECT_EQ(config.free_port, c.free_port) << c.base;
        EXPECT_EQ(config.auth_port, c.auth_port) << c.base;
    }
}

TEST(SaConfig, SettersStoreTheirValues) {
    SaConfig config;
    config.set_fw_dir("/var/fw");
    config.set_incoming_connections(0);
    EXPECT_EQ(config.fw_dir, "/var/fw");
    EXPECT_EQ(config.incoming_connections, 0u);

    config.set_tls_files({"ca.pem", "cert.pem", "key.pem", "/aps"});
    EXPECT_EQ(config.ca_file, "ca.pem");
    EXPECT_EQ(config.cert_file, "cert.pem");
    EXPECT_EQ(config.key_file, "key.pem");
    EXPECT_EQ(config.ap_cert_dir, "/aps");

    config.clear_tls_files();
    EXPECT_EQ(config.ca_file, "");
    EXPECT_EQ(config.cert_file, "");
    EXPECT_EQ(config.key_file, "");
    EXPECT_EQ(config.ap_cert_dir, "");
    // Only the TLS files go.
    EXPECT_EQ(config.fw_dir, "/var/fw");
}

// Pins the local time zone for the duration of a test.
class ScopedTz {
  public:
    explicit ScopedTz(const char* tz) {
        if (const char* old = getenv("TZ")) {
            old_ = old;
        }
        setenv("TZ", tz, 1);
        tzset();
    }
    ~ScopedTz() {
        if (old_) {
            setenv("TZ", old_->c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }

  private:
    std::optional<std::string> old_;
};

std::optional<std::string> report_time(const SaConfig& config, std::optional<time_t> now) {
    CfgTree tree{cfg_get_empty()};
    if (now) {
        config.fill_report(tree.get(), *now);
    } else {
        config.fill_report(tree.get());
    }
    const char* text = cfg_get_param(tree.get(), "current-time");
    return text ? std::optional<std::string>(text) : std::nullopt;
}

TEST(SaConfig, ReportShowsLocalTimeOfDay) {
    struct Case {
        const char* tz;
        int utc_offset_hours;  // east of UTC
        int hour, minute, second;
        const char* text;
    };
    const std::vector<Case> cases = {
        {"UTC0", 0, 9, 5, 7, "09:05:07"},    {"UTC0", 0, 0, 0, 0, "00:00:00"},
        {"UTC0", 0, 23, 59, 59, "23:59:59"}, {"XST-2", 2, 9, 5, 7, "09:05:07"},
        {"XST-2", 2, 0, 0, 0, "00:00:00"},   {"YST5", -5, 12, 30, 9, "12:30:09"},
    };
    const time_t some_day = 19000L * 86400;  // a midnight, UTC
    for (const auto& c : cases) {
        ScopedTz tz(c.tz);
        const time_t now =
            some_day + (c.hour - c.utc_offset_hours) * 3600L + c.minute * 60L + c.second;
        EXPECT_EQ(report_time(SaConfig{}, now), std::optional<std::string>(c.text))
            << c.tz << " " << c.text;
    }
}

TEST(SaConfig, ReportLeavesTimeOutWhenLocalTimeFails) {
    // Beyond what struct tm can hold.
    EXPECT_EQ(report_time(SaConfig{}, std::numeric_limits<time_t>::max()), std::nullopt);
}

TEST(SaConfig, ReportUsesTheClockByDefault) {
    const auto text = report_time(SaConfig{}, std::nullopt);
    ASSERT_TRUE(text);
    EXPECT_TRUE(std::regex_match(*text, std::regex("([01][0-9]|2[0-3]):[0-5][0-9]:[0-6][0-9]")))
        << *text;
}

}  // namespace
