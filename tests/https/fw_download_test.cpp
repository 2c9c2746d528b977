// Firmware images below "/fw" on both endpoints: admission, attempts, the
// shared download count and the completion and failure lines.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <thread>

#include "dialogue/ap_data.h"
#include "https/counters.h"
#include "libs/board/board_types.h"
#include "tests/https/https_bed.h"

namespace {

constexpr uint32_t kModeUpgrade = 2;

// Texts of each endpoint's download lines and refusals, in kEndpoints' order.
struct Texts {
    const char* ap_kind;          // in the completion and failure lines
    const char* untracked_event;  // refusal of an address not in the registry
    const char* limit_line;
};
const Texts kTexts[] = {
    {"authorized", "SA_AUTH: AP not tracked", "upgrading APs limit exceeded"},
    {"unauthorized", "SA_FREE: not tracked", "Upgrading APs limit exceeded"},
};

std::string download_line(const std::string& ip, int s, const char* outcome) {
    return "[" + ip + "] firmware download for " + kTexts[s].ap_kind + " AP: " + outcome;
}

// Registers the AP and delivers the controller's upgrade order.
void order_upgrade(HttpsBed& bed, const Endpoint& side, const std::string& ip,
                   const std::string& image) {
    auto answer = post_held(bed, side, ip, ott_post("/register/ap", kJson, ap_body(kAp1Mac)));
    bed.from_controller([&] {
        endpoint_ap(bed, side, ip)->on_check_result(0, ip, kModeUpgrade, FW_UPGRADE, image, true);
    });
    ASSERT_NE(bed.await(answer).body.find(R"("code":4025)"), std::string::npos);
    ASSERT_EQ(endpoint_ap(bed, side, ip)->fw_tries_left, kFwTriesPerUpgrade);
}

HttpAnswer download(HttpsBed& bed, const Endpoint& side, const std::string& ip,
                    const std::string& target) {
    return bed.serve_while([&, port = endpoint_port(bed, side)] {
        return exchange(endpoint_client(side, ip), port, http_get(target));
    });
}

struct FwBed : HttpsBed {
    FwBed() {
        config.set_fw_dir(dir.path());
        EXPECT_TRUE(dorbt_write_firmware_image(dir.path() + "/image.bin", "dor-ap110",
                                               FwVersionInfo{1, 2, 3, 4}, 300000));
        std::ofstream(dir.path() + "/plain.bin") << "not an image";
        start_servers();
    }
    TempDir dir;
};

// A stranger is refused; after the upgrade order a missing file costs no attempt,
// and five downloads of any file use them all.
TEST(FwDownload, AdmissionThenFiveAttempts) {
    for (int s = 0; s < 2; ++s) {
        const Endpoint& side = kEndpoints[s];
        SCOPED_TRACE(side.label);
        FwBed bed;
        const std::string ip = "127.0.9.1", stranger = "127.0.9.2";
        EXPECT_NE(download(bed, side, stranger, "/fw/image.bin").status, 200);
        bed.turn();
        EXPECT_EQ(bed.trace.count("[" + stranger + "] not tracked!"), 1);
        EXPECT_TRUE(bed.has_event(kTexts[s].untracked_event));
        order_upgrade(bed, side, ip, "image.bin");
        EXPECT_NE(download(bed, side, ip, "/fw/missing.bin").status, 200);
        EXPECT_EQ(endpoint_ap(bed, side, ip)->fw_tries_left, kFwTriesPerUpgrade);
        EXPECT_EQ(download(bed, side, ip, "/fw/plain.bin").body, "not an image");
        const std::string started = "[" + ip + "] started fw file download ";
        EXPECT_EQ(bed.trace.count(started + "[plain.bin], version unknown, tries left: 4"), 1);
        std::ifstream in(bed.dir.path() + "/image.bin", std::ios::binary);
        const std::string image(std::istreambuf_iterator<char>(in), {});
        const int failed = bed.trace.count(download_line(ip, s, "failed"));
        for (int tries = kFwTriesPerUpgrade - 2; tries >= 0; --tries) {
            const HttpAnswer answer = download(bed, side, ip, "/fw/image.bin");
            EXPECT_EQ(answer.status, 200);
            EXPECT_TRUE(answer.body == image) << answer.body.size() << " of " << image.size();
            EXPECT_EQ(bed.trace.count(started + "[image.bin], version 1.2.3.4, tries left: " +
                                      std::to_string(tries)),
                      1);
        }
        bed.turn();
        EXPECT_EQ(bed.trace.count(download_line(ip, s, "completed")), kFwTriesPerUpgrade);
        EXPECT_EQ(bed.trace.count(download_line(ip, s, "failed")), failed);
        EXPECT_TRUE(bed.run_until([] { return https_counters().fw_download_sessions == 0; }));

        EXPECT_NE(download(bed, side, ip, "/fw/image.bin").status, 200);
        bed.turn();
        EXPECT_EQ(bed.trace.count("firmware request from [" + ip + "] not awaited"), 1);
        EXPECT_TRUE(bed.has_event(std::string(side.event_prefix) + "firmware request not awaited"));
        EXPECT_EQ(endpoint_ap(bed, side, ip)->fw_tries_left, 0);
    }
}

// Opens and closes a FIFO for writing every few milliseconds from `delay` on,
// until destroyed: a reader blocked in open() would stop the test for good.
class FifoWriter {
  public:
    FifoWriter(std::string path, std::chrono::milliseconds delay)
        : thread([this, path, delay] {
              const auto from = std::chrono::steady_clock::now() + delay;
              for (; !stop; std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
                  const int fd = std::chrono::steady_clock::now() >= from
                                     ? open(path.c_str(), O_WRONLY | O_NONBLOCK)
                                     : -1;
                  if (fd >= 0)
                      close(fd);
              }
          }) {}
    ~FifoWriter() {
        stop = true;
        thread.join();
    }

  private:
    std::atomic<bool> stop{false};
    std::thread thread;
};

// Only a regular file named plainly in the firmware directory is served; any
// other name is answered as a missing file is, uses no attempt, and names the AP.
TEST(FwDownload, OnlyPlainRegularFilesOfTheDirectory) {
    for (int s = 0; s < 2; ++s) {
        const Endpoint& side = kEndpoints[s];
        SCOPED_TRACE(side.label);
        FwBed bed;
        const std::string dir = bed.dir.path();
        ASSERT_EQ(mkdir((dir + "/etc").c_str(), 0755), 0);
        std::ofstream(dir + "/etc/passwd") << "root";
        ASSERT_EQ(symlink((dir + "/plain.bin").c_str(), (dir + "/link.bin").c_str()), 0);
        ASSERT_EQ(mkfifo((dir + "/fifo.bin").c_str(), 0644), 0);
        struct Case {
            std::string target;
            std::string fw_dir;
            std::string why;
        };
        const Case cases[] = {
            {"/fw/", dir, "not a plain file name"},
            {"/fw/etc/passwd", dir, "not a plain file name"},
            {"/fw/link.bin", dir, std::strerror(ELOOP)},
            {"/fw/fifo.bin", dir, "not a regular file"},
            // Without a directory the name would be taken from the root.
            {"/fw" + dir + "/plain.bin", "", "no firmware directory"},
        };
        const std::string ip = "127.0.9." + std::to_string(20 + s);
        order_upgrade(bed, side, ip, "image.bin");
        const int missing = download(bed, side, ip, "/fw/missing.bin").status;
        EXPECT_NE(missing, 200);
        for (const Case& c : cases) {
            SCOPED_TRACE(c.target);
            bed.config.set_fw_dir(c.fw_dir);
            const auto start = std::chrono::steady_clock::now();
            FifoWriter writer(dir + "/fifo.bin", std::chrono::seconds(3));
            EXPECT_EQ(download(bed, side, ip, c.target).status, missing);
            EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
            const std::string name = c.target.substr(4);  // after "/fw/"
            EXPECT_EQ(
                bed.trace.count("[" + ip + "] firmware file [" + name + "] refused: " + c.why), 1);
            EXPECT_EQ(endpoint_ap(bed, side, ip)->fw_tries_left, kFwTriesPerUpgrade);
        }
    }
}

// Fifty downloads over both endpoints; the next one on either is refused, and
// the ones cut off count as failed, their attempts used.
TEST(FwDownload, FiftyDownloadsAtOnceOverBothEndpoints) {
    FwBed bed;
    ASSERT_TRUE(dorbt_write_firmware_image(bed.dir.path() + "/big.bin", "dor-ap110",
                                           FwVersionInfo{1, 0, 0, 0}, 8u << 20));
    // Five APs on each endpoint, five downloads each: one address may hold
    // only a few places on the free endpoint until its download has started.
    constexpr int kApsPerEndpoint = 5;
    constexpr int kEach = kMaxFwDownloads / (2 * kApsPerEndpoint);
    const auto ip_of = [](int s, int k) {
        return "127.0.9." + std::to_string(60 + s * kApsPerEndpoint + k);
    };
    for (int s = 0; s < 2; ++s) {
        for (int k = 0; k < kApsPerEndpoint; ++k) {
            order_upgrade(bed, kEndpoints[s], ip_of(s, k), "big.bin");
            endpoint_ap(bed, kEndpoints[s], ip_of(s, k))->fw_tries_left = kMaxFwDownloads;
        }
    }
    // Clients that do not read keep their downloads open.
    std::vector<std::unique_ptr<TlsClient>> held;
    bed.serve_while([&] {
        for (int i = 0; i < kMaxFwDownloads; ++i) {
            const int s = i % 2;
            const int k = (i / 2) % kApsPerEndpoint;
            held.push_back(
                std::make_unique<TlsClient>(endpoint_client(kEndpoints[s], ip_of(s, k))));
            held.back()->receive_buffer = 4096;
            held.back()->connect(endpoint_port(bed, kEndpoints[s]));
            held.back()->send(http_get("/fw/big.bin"));
        }
        return 0;
    });
    ASSERT_TRUE(
        bed.run_until([] { return https_counters().fw_download_sessions == kMaxFwDownloads; }));
    for (int s = 0; s < 2; ++s) {
        SCOPED_TRACE(kEndpoints[s].label);
        EXPECT_NE(download(bed, kEndpoints[s], ip_of(s, 0), "/fw/big.bin").status, 200);
        bed.turn();
        EXPECT_EQ(bed.trace.count(std::string(kTexts[s].limit_line) +
                                  " (downloads refused since the last line: 1, the last from " +
                                  ip_of(s, 0) + ")"),
                  1);
    }
    // Half say goodbye before they reset the connection, as curl does when it gives up.
    for (size_t i = 0; i < held.size(); i += 2) {
        held[i]->say_goodbye();
    }
    held.clear();
    // Noticed at once, not at lws's time-out five seconds later.
    EXPECT_TRUE(bed.run_until([] { return https_counters().fw_download_sessions == 0; },
                              std::chrono::seconds(2)));
    for (int s = 0; s < 2; ++s) {
        for (int k = 0; k < kApsPerEndpoint; ++k) {
            EXPECT_EQ(bed.trace.count(download_line(ip_of(s, k), s, "failed")), kEach);
            EXPECT_EQ(endpoint_ap(bed, kEndpoints[s], ip_of(s, k))->fw_tries_left,
                      kMaxFwDownloads - kEach);
        }
    }
}

}  // namespace
