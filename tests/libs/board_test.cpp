#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "libs/board/board_types.h"

namespace {

namespace fs = std::filesystem;

std::string read_bytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_bytes(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

class BoardTest : public ::testing::Test {
  protected:
    void SetUp() override { fs::create_directories(dir_); }
    void TearDown() override {
        unsetenv("DOR_BOARD_TYPES");
        fs::remove_all(dir_);
    }
    const fs::path dir_ = fs::temp_directory_path() / ("board-test-" + std::to_string(getpid()));
};

TEST(FwVersionInfo, FromStr) {
    EXPECT_EQ(FwVersionInfo::from_str("1.2.3"), (FwVersionInfo{1, 2, 3, 0}));
    EXPECT_EQ(FwVersionInfo::from_str("65535.0.7.4294967295"),
              (FwVersionInfo{65535, 0, 7, 4294967295u}));
    for (const char* bad :
         {"1.2", "1.2.3.4.5", "1..3", "1.2.3.", "-1.2.3", "65536.0.0", "1.2.3.4294967296"}) {
        EXPECT_EQ(FwVersionInfo::from_str(bad), std::nullopt) << bad;
    }
}

TEST_F(BoardTest, ScanFirmwareFile) {
    const BoardTypesParams params = dorbt_get_board_types_params();
    const std::string board = params.types.front().name;
    constexpr uint64_t kPayload = 100000;
    // what, payload size, cut the file to, patch at, patch, recognised
    const std::vector<
        std::tuple<const char*, uint64_t, std::optional<uint64_t>, size_t, std::string, bool>>
        cases = {
            {"good image", kPayload, {}, 0, "", true},
            {"empty payload", 0, {}, 0, "", true},
            {"empty file", kPayload, 0, 0, "", false},
            {"wrong magic", kPayload, {}, 0, "X", false},
            {"truncated header", kPayload, 40, 0, "", false},
            {"truncated payload", kPayload, 64 + kPayload / 2, 0, "", false},
            {"bytes after the payload", kPayload, 64 + kPayload + 1, 0, "", false},
            {"newer header version", kPayload, {}, 8, "\x02", false},
            {"board name without terminator", kPayload, {}, 12, std::string(32, 'x'), false},
            {"unknown board", kPayload, {}, 12, std::string("no-such-board\0", 14), false},
        };
    const fs::path path = dir_ / "image";
    for (const auto& [what, payload, cut, patch_at, patch, recognised] : cases) {
        SCOPED_TRACE(what);
        ASSERT_TRUE(dorbt_write_firmware_image(path, board, {3, 14, 15, 926}, payload));
        if (cut) {
            fs::resize_file(path, *cut);
        }
        std::string image = read_bytes(path);
        write_bytes(path, image.replace(patch_at, patch.size(), patch));
        const std::optional<FwImageInfo> info = dorbt_scan_firmware_file(params, path);
        ASSERT_EQ(info.has_value(), recognised);
        if (info) {
            EXPECT_EQ(info->version.to_str(), "3.14.15.926");
            EXPECT_EQ(info->board.name, board);
            EXPECT_EQ(info->payload_size, payload);
            EXPECT_EQ(info->image_size, fs::file_size(path));
        }
    }
    EXPECT_FALSE(dorbt_scan_firmware_file(params, dir_ / "missing"));
    EXPECT_FALSE(dorbt_scan_firmware_file(params, dir_));
}

// The header layout the APs read.
TEST_F(BoardTest, ImageLayout) {
    const FwVersionInfo version{0x0102, 0x0304, 0x0506, 0x0708090a};
    ASSERT_TRUE(dorbt_write_firmware_image(dir_ / "a", "dor-ap110", version, 70000));
    const std::string image = read_bytes(dir_ / "a");
    ASSERT_EQ(image.size(), 64u + 70000u);
    using namespace std::string_literals;
    const std::string header = "DORFWIMG\x01\x00\x40\x00"s + "dor-ap110" + std::string(23, '\0') +
                               "\x02\x01\x04\x03\x06\x05\x00\x00\x0a\x09\x08\x07"s +
                               "\x70\x11\x01\x00\x00\x00\x00\x00"s;  // 70000 = 0x11170
    EXPECT_EQ(image.substr(0, 64), header);
    EXPECT_NE(image.find_first_not_of(image[64], 64), std::string::npos) << "constant filler";
}

TEST_F(BoardTest, WriteRefusesAndLeavesNothing) {
    const std::vector<std::pair<fs::path, std::string>> cases = {
        {dir_ / "x.img", ""},
        {dir_ / "x.img", std::string(kFwBoardNameMax + 1, 'b')},
        {dir_ / "x.img", std::string("dor\0ap", 6)},
        {dir_ / "no-such-dir" / "x.img", "dor-ap110"},
    };
    for (const auto& [path, board] : cases) {
        EXPECT_FALSE(dorbt_write_firmware_image(path, board, FwVersionInfo{1, 0, 0, 0}, 10));
    }
    EXPECT_TRUE(fs::is_empty(dir_));
}

TEST_F(BoardTest, BoardTypesFromFile) {
    const BoardTypesParams builtin = dorbt_get_board_types_params();
    const BoardType& first = builtin.types.front();
    const fs::path file = dir_ / "types.json";
    setenv("DOR_BOARD_TYPES", file.c_str(), 1);

    write_bytes(file, "{board");
    EXPECT_EQ(dorbt_get_board_types_params().types, builtin.types);

    write_bytes(file, R"({"board-types": [{"name": "no-id"}, {"name": "str-id", "id": "7"},
        {"name": "", "id": 1}, 5, {"name": "0123456789012345678901234567890123", "id": 2},
        {"name": "lab-y2", "id": 12, "description": "lab"},
        {"name": ")" + first.name +
                          R"(", "id": 77}]})");
    std::vector<BoardType> expected = builtin.types;
    expected.front() = BoardType{first.name, 77, ""};
    expected.push_back(BoardType{"lab-y2", 12, "lab"});
    const BoardTypesParams extended = dorbt_get_board_types_params();
    EXPECT_EQ(extended.types, expected);

    ASSERT_TRUE(dorbt_write_firmware_image(dir_ / "y.img", "lab-y2", FwVersionInfo{1, 2, 3, 4}, 5));
    EXPECT_TRUE(dorbt_scan_firmware_file(extended, dir_ / "y.img"));
    EXPECT_FALSE(dorbt_scan_firmware_file(builtin, dir_ / "y.img"));
}

TEST_F(BoardTest, MkfwTool) {
    const std::string out = (dir_ / "tool.img").string();
    const std::vector<std::pair<std::string, int>> cases = {
        {out + " dor-ap110 1.2.3", 2},
        {out + " dor-ap110 1.2 10", 2},
        {out + " dor-ap110 1.2.3 10k", 2},
        {out + " no-such-board 1.2.3 10", 1},
        {(dir_ / "missing" / "x.img").string() + " dor-ap110 1.2.3 10", 1},
        {out + " dor-ap110 7.8.9.10 4096", 0},
    };
    for (const auto& [args, status] : cases) {
        const int raw = std::system((DOR_MKFW_PATH " " + args + " 2>/dev/null").c_str());
        EXPECT_EQ(WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, status) << args;
    }
    const auto info = dorbt_scan_firmware_file(dorbt_get_board_types_params(), out);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->version.to_str(), "7.8.9.10");
    EXPECT_EQ(info->payload_size, 4096u);
}

}  // namespace
