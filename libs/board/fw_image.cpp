#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <vector>

#include "libs/board/board_types.h"

namespace {

constexpr char kMagic[8] = {'D', 'O', 'R', 'F', 'W', 'I', 'M', 'G'};
constexpr uint16_t kHeaderVersion = 1;

constexpr size_t kOffVersion = 8;
constexpr size_t kOffHeaderSize = 10;
constexpr size_t kOffBoard = 12;
constexpr size_t kBoardField = 32;
constexpr size_t kOffMajor = 44;
constexpr size_t kOffMinor = 46;
constexpr size_t kOffPatch = 48;
constexpr size_t kOffBuild = 52;
constexpr size_t kOffPayloadSize = 56;
static_assert(kOffBoard + kBoardField == kOffMajor);
static_assert(kOffPayloadSize + 8 == kFwHeaderSize);
static_assert(kFwBoardNameMax < kBoardField);

using Header = std::array<unsigned char, kFwHeaderSize>;

class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) {
            const int saved_errno = errno;
            ::close(fd_);
            errno = saved_errno;
        }
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;

    int get() const { return fd_; }
    // Reports a failed close, which can be the first sign of a lost write.
    bool close() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

  private:
    int fd_;
};

// Removes a half-written file unless the write is committed.
class TempFile {
  public:
    explicit TempFile(std::string path) : path_(std::move(path)) {}
    // Keeps errno, so that callers can report why the write failed.
    ~TempFile() {
        if (!committed_) {
            const int saved_errno = errno;
            ::unlink(path_.c_str());
            errno = saved_errno;
        }
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    const std::string& path() const { return path_; }
    void commit() { committed_ = true; }

  private:
    std::string path_;
    bool committed_ = false;
};

template <class T>
void put_le(Header& h, size_t offset, T value) {
    for (size_t i = 0; i < sizeof(T); ++i) {
        h[offset + i] = static_cast<unsigned char>(static_cast<uint64_t>(value) >> (8 * i));
    }
}

template <class T>
T get_le(const Header& h, size_t offset) {
    uint64_t value = 0;
    for (size_t i = 0; i < sizeof(T); ++i) {
        value |= uint64_t{h[offset + i]} << (8 * i);
    }
    return static_cast<T>(value);
}

// `io` is ::read or ::write; either may move fewer bytes than asked or be
// interrupted. A read returning 0 has met the end of a short file.
template <class Io>
bool transfer_all(int fd, unsigned char* data, size_t size, Io io) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = io(fd, data + done, size - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// Filler depends only on the position, so equal arguments give equal files.
unsigned char filler_byte(uint64_t position) {
    uint64_t x = position * 0x9E3779B97F4A7C15ull;
    x ^= x >> 29;
    return static_cast<unsigned char>(x >> 24);
}

bool write_payload(int fd, uint64_t payload_size) {
    std::vector<unsigned char> chunk(64 * 1024);
    uint64_t position = 0;
    while (position < payload_size) {
        const size_t n =
            static_cast<size_t>(std::min<uint64_t>(chunk.size(), payload_size - position));
        for (size_t i = 0; i < n; ++i) {
            chunk[i] = filler_byte(position + i);
        }
        if (!transfer_all(fd, chunk.data(), n, ::write)) {
            return false;
        }
        position += n;
    }
    return true;
}

std::optional<uint32_t> parse_part(std::string_view text, uint32_t max) {
    uint32_t value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc{} || ptr != end || value > max) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

std::string FwVersionInfo::to_str() const {
    return std::to_string(major) + '.' + std::to_string(minor) + '.' + std::to_string(patch) + '.' +
           std::to_string(build);
}

std::optional<FwVersionInfo> FwVersionInfo::from_str(std::string_view text) {
    std::vector<std::string_view> parts;
    while (true) {
        const size_t dot = text.find('.');
        parts.push_back(text.substr(0, dot));
        if (dot == std::string_view::npos || parts.size() > 4) {
            break;
        }
        text.remove_prefix(dot + 1);
    }
    if (parts.size() < 3 || parts.size() > 4) {
        return std::nullopt;
    }
    FwVersionInfo version;
    const auto major = parse_part(parts[0], UINT16_MAX);
    const auto minor = parse_part(parts[1], UINT16_MAX);
    const auto patch = parse_part(parts[2], UINT16_MAX);
    const auto build = parts.size() == 4 ? parse_part(parts[3], UINT32_MAX) : std::optional(0u);
    if (!major || !minor || !patch || !build) {
        return std::nullopt;
    }
    version.major = static_cast<uint16_t>(*major);
    version.minor = static_cast<uint16_t>(*minor);
    version.patch = static_cast<uint16_t>(*patch);
    version.build = *build;
    return version;
}

std::optional<FwImageInfo> dorbt_scan_firmware_file(const BoardTypesParams& params,
                                                    const std::string& path) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        return std::nullopt;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return std::nullopt;
    }
    Header h{};
    if (!transfer_all(fd.get(), h.data(), h.size(), ::read)) {
        return std::nullopt;
    }
    if (std::memcmp(h.data(), kMagic, sizeof kMagic) != 0 ||
        get_le<uint16_t>(h, kOffVersion) != kHeaderVersion ||
        get_le<uint16_t>(h, kOffHeaderSize) != kFwHeaderSize) {
        return std::nullopt;
    }
    const char* name_field = reinterpret_cast<const char*>(h.data() + kOffBoard);
    const size_t name_length = strnlen(name_field, kBoardField);
    if (name_length == 0 || name_length > kFwBoardNameMax) {
        return std::nullopt;
    }
    const BoardType* board = params.find(std::string_view(name_field, name_length));
    if (board == nullptr) {
        return std::nullopt;
    }
    FwImageInfo info;
    info.board = *board;
    info.version.major = get_le<uint16_t>(h, kOffMajor);
    info.version.minor = get_le<uint16_t>(h, kOffMinor);
    info.version.patch = get_le<uint16_t>(h, kOffPatch);
    info.version.build = get_le<uint32_t>(h, kOffBuild);
    info.payload_size = get_le<uint64_t>(h, kOffPayloadSize);
    info.image_size = static_cast<uint64_t>(st.st_size);
    if (info.payload_size > UINT64_MAX - kFwHeaderSize ||
        info.image_size != kFwHeaderSize + info.payload_size) {
        return std::nullopt;
    }
    return info;
}

bool dorbt_write_firmware_image(const std::string& path, const std::string& board_type,
                                const FwVersionInfo& version, uint64_t payload_size) {
    if (board_type.empty() || board_type.size() > kFwBoardNameMax ||
        board_type.find('\0') != std::string::npos) {
        return false;
    }
    Header h{};
    std::memcpy(h.data(), kMagic, sizeof kMagic);
    put_le<uint16_t>(h, kOffVersion, kHeaderVersion);
    put_le<uint16_t>(h, kOffHeaderSize, kFwHeaderSize);
    std::memcpy(h.data() + kOffBoard, board_type.data(), board_type.size());
    put_le<uint16_t>(h, kOffMajor, version.major);
    put_le<uint16_t>(h, kOffMinor, version.minor);
    put_le<uint16_t>(h, kOffPatch, version.patch);
    put_le<uint32_t>(h, kOffBuild, version.build);
    put_le<uint64_t>(h, kOffPayloadSize, payload_size);

    // Written aside and renamed, so that a download never sees half an image.
    TempFile temp(path + ".tmp." + std::to_string(::getpid()));
    Fd fd(::open(temp.path().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (fd.get() < 0) {
        return false;
    }
    if (!transfer_all(fd.get(), h.data(), h.size(), ::write) ||
        !write_payload(fd.get(), payload_size) || !fd.close() ||
        ::rename(temp.path().c_str(), path.c_str()) != 0) {
        return false;
    }
    temp.commit();
    return true;
}
