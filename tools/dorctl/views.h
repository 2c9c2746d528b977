#pragma once
// What dorctl prints for the service's status and metrics replies.

#include <optional>
#include <string>

namespace dorctl {

// A few readable lines from the status JSON; nothing when it does not parse.
std::optional<std::string> status_summary(const std::string& json);
// The metrics JSON in the Prometheus text exposition format; nothing when the
// JSON does not parse as metric families.
std::optional<std::string> metrics_text(const std::string& json);

}  // namespace dorctl
