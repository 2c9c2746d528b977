#pragma once
// Board types the controller can manage and the firmware images made for them.
//
// An image is a 64-byte header followed by the payload; all numbers are
// little-endian:
//   0  magic "DORFWIMG"        8 bytes
//   8  header version (1)      u16
//   10 header size (64)        u16
//   12 board type name         32 bytes, NUL-padded, at most 31 characters
//   44 major, minor, patch     3 x u16
//   50 reserved (0)            u16
//   52 build                   u32
//   56 payload size            u64
// The file must be exactly header plus payload long, so a cut-off copy is
// refused.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct BoardType {
    std::string name;  // as written in image headers
    uint32_t id = 0;
    std::string description;

    friend bool operator==(const BoardType&, const BoardType&) = default;
};

struct BoardTypesParams {
    std::vector<BoardType> types;

    // Exact, case-sensitive name match; null when unknown.
    const BoardType* find(std::string_view name) const;
};

// The built-in table. When DOR_BOARD_TYPES names a JSON file of the form
// {"board-types": [{"name": "...", "id": 1, "description": "..."}]}, its valid
// entries replace built-in ones of the same name or are appended; a missing or
// bad file leaves the built-in table alone.
BoardTypesParams dorbt_get_board_types_params();

struct FwVersionInfo {
    uint16_t major = 0;
    uint16_t minor = 0;
    uint16_t patch = 0;
    uint32_t build = 0;

    // "major.minor.patch.build"
    std::string to_str() const;
    // Accepts "a.b.c" (build 0) or "a.b.c.d", decimal, each part in range.
    static std::optional<FwVersionInfo> from_str(std::string_view text);

    friend bool operator==(const FwVersionInfo&, const FwVersionInfo&) = default;
};

struct FwImageInfo {
    BoardType board;
    FwVersionInfo version;
    uint64_t payload_size = 0;
    uint64_t image_size = 0;  // header included
};

inline constexpr size_t kFwHeaderSize = 64;
inline constexpr size_t kFwBoardNameMax = 31;

// Reads only the header and the file size, so it is cheap for large images.
// Nothing for a missing or unreadable file, a short file, a bad magic or header
// version, a size that does not match, or a board type not in `params`.
std::optional<FwImageInfo> dorbt_scan_firmware_file(const BoardTypesParams& params,
                                                    const std::string& path);

// Writes a header and `payload_size` bytes of deterministic filler. The board
// type is not checked against any table. False (and no file left behind, errno
// telling why for an I/O error) on a bad name or an I/O error.
bool dorbt_write_firmware_image(const std::string& path, const std::string& board_type,
                                const FwVersionInfo& version, uint64_t payload_size);
