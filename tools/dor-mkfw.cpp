// dor-mkfw: writes a firmware image of a known board type with filler payload,
// for test beds, demos and benchmarks of the download path.

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "libs/board/board_types.h"

namespace {

void usage(std::FILE* out) {
    std::fprintf(out,
                 "usage: dor-mkfw OUT BOARD VERSION SIZE\n"
                 "  OUT      image file to write (replaced atomically)\n"
                 "  BOARD    board type name, one of the known board types\n"
                 "  VERSION  a.b.c or a.b.c.d\n"
                 "  SIZE     payload size in bytes\n");
}

bool parse_size(std::string_view text, uint64_t& size) {
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, size);
    return !text.empty() && ec == std::errc{} && ptr == end;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
        usage(stdout);
        return 0;
    }
    if (argc != 5) {
        usage(stderr);
        return 2;
    }
    const char* out = argv[1];
    const char* board = argv[2];
    const auto version = FwVersionInfo::from_str(argv[3]);
    if (!version) {
        std::fprintf(stderr, "dor-mkfw: bad version '%s'\n", argv[3]);
        usage(stderr);
        return 2;
    }
    uint64_t size = 0;
    if (!parse_size(argv[4], size)) {
        std::fprintf(stderr, "dor-mkfw: bad size '%s'\n", argv[4]);
        usage(stderr);
        return 2;
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
