#include "bench/load/proc_cpu.h"

#include <charconv>
#include <fstream>
#include <sstream>
#include <string>

namespace {

std::optional<std::string> read_text(const std::string& path) {
    std::ifstream in(path);
    if (!in) {
        return std::nullopt;
    }
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::optional<uint64_t> number_at(std::string_view text, size_t& pos) {
    while (pos < text.size() && text[pos] == ' ') {
        ++pos;
    }
    uint64_t value = 0;
    const auto [ptr, ec] = std::from_chars(text.data() + pos, text.data() + text.size(), value);
    if (ec != std::errc{}) {
        return std::nullopt;
    }
    pos = static_cast<size_t>(ptr - text.data());
    return value;
}

}  // namespace

std::optional<uint64_t> stat_cpu_ticks(std::string_view stat_line) {
    // Fields after the name's closing parenthesis: state is field 3, utime 14.
    const size_t close = stat_line.rfind(')');
    if (close == std::string_view::npos) {
        return std::nullopt;
    }
    std::string_view rest = stat_line.substr(close + 1);
    size_t pos = 0;
    for (int field = 3; field < 14; ++field) {
        pos = rest.find_first_not_of(' ', pos);
        pos = rest.find(' ', pos);
        if (pos == std::string_view::npos) {
            return std::nullopt;
        }
    }
    const auto utime = number_at(rest, pos);
    const auto stime = utime ? number_at(rest, pos) : std::nullopt;
    if (!stime) {
        return std::nullopt;
    }
    return *utime + *stime;
}

std::optional<uint64_t> schedstat_run_ns(std::string_view line) {
    size_t pos = 0;
    return number_at(line, pos);
}

std::optional<CpuSample> sample_cpu(int pid) {
    const std::string dir = "/proc/" + std::to_string(pid);
    const auto stat = read_text(dir + "/stat");
    const auto schedstat = read_text(dir + "/schedstat");
    if (!stat || !schedstat) {
        return std::nullopt;
    }
    const auto ticks = stat_cpu_ticks(*stat);
    const auto run_ns = schedstat_run_ns(*schedstat);
    if (!ticks || !run_ns) {
        return std::nullopt;
    }
    return CpuSample{*ticks, *run_ns};
}
