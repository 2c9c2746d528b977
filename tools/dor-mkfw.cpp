// dor-mkfw: writes a firmware image of a known board type with filler payload,
// for test beds, demos and benchmarks of the download path.

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "libs/board/board_types.h"
#include "tools/common/options.h"

namespace {

constexpr const char* kProg = "dor-mkfw";

const cli::CommandLine kCommandLine{
    "usage: dor-mkfw OUT BOARD VERSION SIZE\n"
    "\n"
    "Writes a firmware image of a known board type with filler payload.\n"
    "\n"
    "  OUT      image file to write (replaced atomically)\n"
    "  BOARD    board type name, one of the known board types\n"
    "  VERSION  a.b.c or a.b.c.d\n"
    "  SIZE     payload size in bytes\n",
    {{"", 14, {{"-h, --help", "", "this text", {}}, {"--version", "", "the version", {}}}}},
    "Exit status: 0 written, 1 unknown board type or write error, 2 usage error.\n",
    4,
};

int usage_error(const std::string& error) {
    return cli::usage_exit(kProg, "", &error);
}

bool parse_size(std::string_view text, uint64_t& size) {
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, size);
    return !text.empty() && ec == std::errc{} && ptr == end;
}

}  // namespace

int main(int argc, char** argv) {
    cli::Request request;
    std::string error;
    if (!cli::parse(kCommandLine, std::vector<std::string>(argv + 1, argv + argc), &request,
                    &error)) {
        return usage_error(error);
    }
    if (request.help) {
        return cli::usage_exit(kProg, cli::usage_text(kCommandLine), nullptr);
    }
    if (request.version) {
        return cli::version_exit(kProg);
    }
    const std::vector<std::string>& operands = request.operands;
    if (operands.size() != 4) {
        return usage_error("needs OUT BOARD VERSION SIZE");
    }
    const char* out = operands[0].c_str();
    const char* board = operands[1].c_str();
    const auto version = FwVersionInfo::from_str(operands[2].c_str());
    if (!version) {
        return usage_error("bad version '" + operands[2] + "'");
    }
    uint64_t size = 0;
    if (!parse_size(operands[3], size)) {
        return usage_error("bad size '" + operands[3] + "'");
    }

    const BoardTypesParams types = dorbt_get_board_types_params();
    if (types.find(board) == nullptr) {
        std::fprintf(stderr, "dor-mkfw: unknown board type '%s'; known:", board);
        for (const BoardType& type : types.types) {
            std::fprintf(stderr, " %s", type.name.c_str());
        }
        std::fprintf(stderr, "\n");
        return 1;
    }
    errno = 0;
    if (!dorbt_write_firmware_image(out, board, *version, size)) {
        std::fprintf(stderr, "dor-mkfw: cannot write '%s': %s\n", out, std::strerror(errno));
        return 1;
    }
    return 0;
}
