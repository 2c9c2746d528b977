#include "dialogue/sa_config.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "libs/cfg/cfg.h"
#include "platform/cfg_ptr.h"

namespace {

TEST(SaConfig, PortsStayNeighbours) {
    SaConfig config;
    EXPECT_EQ(std::pair(config.free_port, config.auth_port), std::pair(8043u, 8044u));
    config.set_ports(9000);
    EXPECT_EQ(std::pair(config.free_port, config.auth_port), std::pair(9000u, 9001u));
}

std::optional<std::string> report_time(time_t now) {
    CfgTree tree{cfg_get_empty()};
    SaConfig{}.fill_report(tree.get(), now);
    const char* text = cfg_get_param(tree.get(), "current-time");
    return text ? std::optional<std::string>(text) : std::nullopt;
}

TEST(SaConfig, ReportShowsLocalTimeOfDay) {
    struct Case {
        const char* tz;
        long utc_seconds;  // after a midnight, UTC
        std::optional<std::string> text;
    };
    const std::vector<Case> cases = {
        {"UTC0", 9 * 3600 + 5 * 60 + 7, "09:05:07"},
        {"UTC0", 86399, "23:59:59"},
        {"XST-2", -2 * 3600, "00:00:00"},
        {"YST5", 17 * 3600 + 30 * 60 + 9, "12:30:09"},
    };
    const std::optional<std::string> old_tz =
        getenv("TZ") ? std::optional<std::string>(getenv("TZ")) : std::nullopt;
    for (const auto& c : cases) {
        setenv("TZ", c.tz, 1);
        tzset();
        EXPECT_EQ(report_time(19000L * 86400 + c.utc_seconds), c.text) << c.tz;
    }
    old_tz ? setenv("TZ", old_tz->c_str(), 1) : unsetenv("TZ");
    tzset();
    // Beyond what struct tm can hold: no time at all.
    EXPECT_EQ(report_time(std::numeric_limits<time_t>::max()), std::nullopt);
}

}  // namespace
