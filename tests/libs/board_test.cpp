#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <set>
#include <string>
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

void patch(const fs::path& path, size_t offset, const std::string& bytes) {
    std::string image = read_bytes(path);
    image.replace(offset, bytes.size(), bytes);
    write_bytes(path, image);
}

class BoardTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("board-test-" + std::to_string(getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        unsetenv("DOR_BOARD_TYPES");
    }
    void TearDown() override {
        unsetenv("DOR_BOARD_TYPES");
        fs::remove_all(dir_);
    }
    fs::path dir_;
};

TEST_F(BoardTest, BuiltInTableIsUsable) {
    const BoardTypesParams params = dorbt_get_board_types_params();
    ASSERT_GE(params.types.size(), 3u);
    std::set<std::string> names;
    std::set<uint32_t> ids;
    for (const BoardType& type : params.types) {
        EXPECT_FALSE(type.name.empty());
        EXPECT_LE(type.name.size(), kFwBoardNameMax);
        names.insert(type.name);
        ids.insert(type.id);
        EXPECT_EQ(params.find(type.name), &type);
    }
    EXPECT_EQ(names.size(), params.types.size());
    EXPECT_EQ(ids.size(), params.types.size());
    EXPECT_EQ(params.find("no-such-board"), nullptr);
}

TEST(FwVersionInfo, FromStr) {
    struct Case {
        std::string text;
        std::optional<FwVersionInfo> expected;
    };
    const std::vector<Case> cases = {
        {"1.2.3", FwVersionInfo{1, 2, 3, 0}},
        {"1.2.3.4", FwVersionInfo{1, 2, 3, 4}},
        {"65535.0.7.4294967295", FwVersionInfo{65535, 0, 7, 4294967295u}},
        {"", std::nullopt},
        {"1.2", std::nullopt},
        {"1.2.3.4.5", std::nullopt},
        {"1..3", std::nullopt},
        {"1.2.3.", std::nullopt},
        {"a.b.c", std::nullopt},
        {"-1.2.3", std::nullopt},
        {" 1.2.3", std::nullopt},
        {"65536.0.0", std::nullopt},
        {"1.2.3.4294967296", std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FwVersionInfo::from_str(c.text), c.expected) << "'" << c.text << "'";
    }
}

TEST_F(BoardTest, ScanFirmwareFile) {
    const BoardTypesParams params = dorbt_get_board_types_params();
    const std::string board = params.types.front().name;
    const FwVersionInfo version{3, 14, 15, 926};
    const std::string version_text = "3.14.15.926";
    constexpr uint64_t kPayload = 100000;

    struct Case {
        const char* what;
        std::function<void(const fs::path&)> make;
        bool recognised;
        uint64_t payload = 0;
    };
    auto good = [&](const fs::path& p) {
        ASSERT_TRUE(dorbt_write_firmware_image(p, board, version, kPayload));
    };
    const std::vector<Case> cases = {
        {"good image", good, true, kPayload},
        {"empty payload",
         [&](const fs::path& p) { ASSERT_TRUE(dorbt_write_firmware_image(p, board, version, 0)); },
         true, 0},
        {"missing file", [](const fs::path&) {}, false},
        {"directory", [](const fs::path& p) { fs::create_directory(p); }, false},
        {"empty file", [](const fs::path& p) { write_bytes(p, ""); }, false},
        {"wrong magic",
         [&](const fs::path& p) {
             good(p);
             patch(p, 0, "X");
         },
         false},
        {"truncated header",
         [&](const fs::path& p) {
             good(p);
             fs::resize_file(p, 40);
         },
         false},
        {"truncated payload",
         [&](const fs::path& p) {
             good(p);
             fs::resize_file(p, 64 + kPayload / 2);
         },
         false},
        {"bytes after the payload",
         [&](const fs::path& p) {
             good(p);
             fs::resize_file(p, 64 + kPayload + 1);
         },
         false},
        {"newer header version",
         [&](const fs::path& p) {
             good(p);
             patch(p, 8, "\x02");
         },
         false},
        {"board name without terminator",
         [&](const fs::path& p) {
             good(p);
             patch(p, 12, std::string(32, 'x'));
         },
         false},
        {"unknown board",
         [&](const fs::path& p) {
             ASSERT_TRUE(dorbt_write_firmware_image(p, "no-such-board", version, kPayload));
         },
         false},
    };
    int n = 0;
    for (const Case& c : cases) {
        const fs::path path = dir_ / ("image" + std::to_string(n++));
        c.make(path);
        const std::optional<FwImageInfo> info = dorbt_scan_firmware_file(params, path);
        ASSERT_EQ(info.has_value(), c.recognised) << c.what;
        if (info) {
            EXPECT_EQ(info->version.to_str(), version_text) << c.what;
            EXPECT_EQ(info->board.name, board) << c.what;
            EXPECT_EQ(info->payload_size, c.payload) << c.what;
            EXPECT_EQ(info->image_size, fs::file_size(path)) << c.what;
        }
    }
}

TEST_F(BoardTest, ImageLayoutAndDeterminism) {
    const fs::path a = dir_ / "a.img";
    const fs::path b = dir_ / "b.img";
    const FwVersionInfo version{0x0102, 0x0304, 0x0506, 0x0708090a};
    ASSERT_TRUE(dorbt_write_firmware_image(a, "dor-ap110", version, 70000));
    ASSERT_TRUE(dorbt_write_firmware_image(b, "dor-ap110", version, 70000));
    const std::string image = read_bytes(a);
    ASSERT_EQ(image.size(), 64u + 70000u);
    EXPECT_EQ(image, read_bytes(b));

    EXPECT_EQ(image.substr(0, 8), "DORFWIMG");
    EXPECT_EQ(image.substr(8, 4), std::string("\x01\x00\x40\x00", 4));
    EXPECT_EQ(image.substr(12, 32), std::string("dor-ap110") + std::string(23, '\0'));
    EXPECT_EQ(image.substr(44, 12),
              std::string("\x02\x01\x04\x03\x06\x05\x00\x00\x0a\x09\x08\x07", 12));
    // 70000 = 0x11170
    EXPECT_EQ(image.substr(56, 8), std::string("\x70\x11\x01\x00\x00\x00\x00\x00", 8));
    EXPECT_NE(image.find_first_not_of(image[64], 64), std::string::npos) << "filler is constant";
}

TEST_F(BoardTest, WriteRefusesAndLeavesNothing) {
    struct Case {
        fs::path path;
        std::string board;
    };
    const std::vector<Case> cases = {
        {dir_ / "x.img", ""},
        {dir_ / "x.img", std::string(kFwBoardNameMax + 1, 'b')},
        {dir_ / "x.img", std::string("dor\0ap", 6)},
        {dir_ / "no-such-dir" / "x.img", "dor-ap110"},
    };
    for (const Case& c : cases) {
        EXPECT_FALSE(dorbt_write_firmware_image(c.path, c.board, FwVersionInfo{1, 0, 0, 0}, 10));
    }
    EXPECT_TRUE(fs::is_empty(dir_));
}

TEST_F(BoardTest, BoardTypesFromFile) {
    const BoardTypesParams builtin = dorbt_get_board_types_params();
    const BoardType& first = builtin.types.front();
    struct Case {
        const char* what;
        std::optional<std::string> json;  // nullopt: the file does not exist
        std::vector<BoardType> expect_added;
        std::optional<std::string> expect_first_description;
    };
    const std::vector<Case> cases = {
        {"missing file", std::nullopt, {}, std::nullopt},
        {"not JSON", "{board", {}, std::nullopt},
        {"no list", R"({"other": []})", {}, std::nullopt},
        {"added and replaced",
         R"({"board-types": [{"name": "lab-x1", "id": 9001, "description": "lab board"},
                             {"name": ")" +
             first.name + R"(", "id": )" + std::to_string(first.id) +
             R"(, "description": "renamed"}]})",
         {{"lab-x1", 9001, "lab board"}},
         "renamed"},
        {"bad entries skipped",
         R"({"board-types": [{"name": "no-id"}, {"name": "str-id", "id": "7"},
                             {"name": "", "id": 1}, 5,
                             {"name": "0123456789012345678901234567890123", "id": 2},
                             {"name": "lab-y2", "id": 12}]})",
         {{"lab-y2", 12, ""}},
         std::nullopt},
    };
    const fs::path file = dir_ / "types.json";
    setenv("DOR_BOARD_TYPES", file.c_str(), 1);
    for (const Case& c : cases) {
        fs::remove(file);
        if (c.json) {
            write_bytes(file, *c.json);
        }
        const BoardTypesParams params = dorbt_get_board_types_params();
        ASSERT_EQ(params.types.size(), builtin.types.size() + c.expect_added.size()) << c.what;
        for (size_t i = 0; i < c.expect_added.size(); ++i) {
            EXPECT_EQ(params.types[builtin.types.size() + i], c.expect_added[i]) << c.what;
        }
        EXPECT_EQ(params.types.front().description,
                  c.expect_first_description.value_or(first.description))
            << c.what;
    }

    // An image of a board known only from the file is recognised with that table.
    ASSERT_TRUE(dorbt_write_firmware_image(dir_ / "y.img", "lab-y2", FwVersionInfo{1, 2, 3, 4}, 5));
    EXPECT_TRUE(dorbt_scan_firmware_file(dorbt_get_board_types_params(), dir_ / "y.img"));
    EXPECT_FALSE(dorbt_scan_firmware_file(builtin, dir_ / "y.img"));
}

int run_mkfw(const std::vector<std::string>& args) {
    const pid_t pid = fork();
    if (pid == 0) {
        std::vector<char*> argv{const_cast<char*>(DOR_MKFW_PATH)};
        for (const std::string& a : args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        const int null_fd = open("/dev/null", O_WRONLY);
        dup2(null_fd, STDERR_FILENO);
        execv(DOR_MKFW_PATH, argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(BoardTest, MkfwTool) {
    const std::string out = (dir_ / "tool.img").string();
    struct Case {
        std::vector<std::string> args;
        int status;
    };
    const std::vector<Case> cases = {
        {{}, 2},
        {{out, "dor-ap110", "1.2.3"}, 2},
        {{out, "dor-ap110", "1.2", "10"}, 2},
        {{out, "dor-ap110", "1.2.3", "10k"}, 2},
        {{out, "no-such-board", "1.2.3", "10"}, 1},
        {{(dir_ / "missing" / "x.img").string(), "dor-ap110", "1.2.3", "10"}, 1},
        {{out, "dor-ap110", "7.8.9.10", "4096"}, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(run_mkfw(c.args), c.status) << testing::PrintToString(c.args);
    }
    const auto info = dorbt_scan_firmware_file(dorbt_get_board_types_params(), out);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->version.to_str(), "7.8.9.10");
    EXPECT_EQ(info->payload_size, 4096u);
}

}  // namespace
