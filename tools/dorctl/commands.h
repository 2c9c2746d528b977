#pragma once
// dorctl as a function, so that it can run against a service in tests.

#include <atomic>
#include <iosfwd>
#include <string>
#include <vector>

namespace dorctl {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// `args` without the program name. `stop` ends a command that follows the
// service (events) with success.
int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
        const std::atomic<bool>& stop);

}  // namespace dorctl
