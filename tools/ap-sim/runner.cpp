#include "tools/ap-sim/runner.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <queue>

#include "libs/board/board_types.h"
#include "tools/ap-sim/http_pool.h"

namespace {

using Clock = std::chrono::steady_clock;

double ms_between(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

std::string bare_mac(const MacAddr& mac) {
    std::string text = mac.str();
    std::erase(text, ':');
    return text;
}

// Every request in flight holds a socket, and a storm keeps a thousand in flight.
void allow_all_descriptors() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

bool file_exists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

// Downloaded images land here and are read back for their header.
class ScratchDir {
  public:
    ScratchDir() {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern =
            std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/dor-ap-sim.XXXXXX";
        if (mkdtemp(pattern.data()) != nullptr) {
            path_ = pattern;
        }
    }
    ~ScratchDir() {
        if (!path_.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(path_, ignored);
        }
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

struct ApState {
    Journey journey;
    StepRequest request;
    Clock::time_point started;
    Clock::time_point request_started;
    Clock::time_point ended;
    std::string cert;
    std::string key;
    std::string image;
};

class Runner {
  public:
    Runner(const RunConfig& config, const std::atomic<bool>& stop)
        : config_(config), stop_(stop), board_types_(dorbt_get_board_types_params()) {
        for (size_t i = 0; i < config.aps.size(); ++i) {
            const ApPlan& plan = config.aps[i];
            const std::string base = config.delivery_dir + "/" + bare_mac(plan.mac);
            aps_.push_back(ApState{Journey(plan, config.journey),
                                   {},
                                   {},
                                   {},
                                   {},
                                   base + ".pem",
                                   base + ".key",
                                   scratch_.path() + "/" + bare_mac(plan.mac) + ".img"});
        }
    }

    RunOutput run() {
        start_ = Clock::now();
        const auto deadline = start_ + std::chrono::seconds(config_.timeout_s);
        const auto load_end = start_ + std::chrono::seconds(config_.load_duration_s);
        for (ApState& ap : aps_) {
            ap.started = start_;
        }
        const size_t first = config_.at_once == 0
                                 ? aps_.size()
                                 : std::min(aps_.size(), static_cast<size_t>(config_.at_once));
        while (entered_ < first) {
            enter(start_);
        }
        while (finished_ < aps_.size()) {
            const auto now = Clock::now();
            if (!stopping_ && (now >= deadline || stop_.load())) {
                stopping_ = true;
                end_all(now >= deadline && config_.load_duration_s == 0 ? Outcome::TIMED_OUT
                                                                        : Outcome::STOPPED);
            }
            if (!stopping_ && config_.load_duration_s > 0 && now >= load_end) {
                stopping_ = true;
                end_all(Outcome::STOPPED);
            }
            if (!stopping_) {
                start_due(now);
            } else if (pool_.active() == 0) {
                break;
            }
            for (auto& [token, result] : pool_.run(wait_ms(Clock::now()))) {
                finish_request(token, result);
            }
            show_progress(false);
        }
        show_progress(true);
        return output();
    }

  private:
    using Due = std::pair<Clock::time_point, size_t>;

    int wait_ms(Clock::time_point now) const {
        constexpr int kIdleMs = 100;
        if (due_.empty() || pool_.active() >= static_cast<size_t>(config_.concurrency)) {
            return kIdleMs;
        }
        const double left = ms_between(now, due_.top().first);
        return left <= 0 ? 0 : std::min(kIdleMs, static_cast<int>(left) + 1);
    }

    void start_due(Clock::time_point now) {
        while (!due_.empty() && due_.top().first <= now &&
               pool_.active() < static_cast<size_t>(config_.concurrency)) {
            const size_t index = due_.top().second;
            due_.pop();
            ApState& ap = aps_[index];
            ap.request = ap.journey.next(file_exists(ap.cert));
            ap.request_started = Clock::now();
            if (!pool_.start(index, http_request(ap))) {
                ap.journey.stop(Outcome::ERROR);
                finish_ap(ap);
            }
        }
    }

    HttpRequest http_request(const ApState& ap) const {
        const StepRequest& step = ap.request;
        HttpRequest request;
        const int port = step.authorized ? config_.auth_port : config_.free_port;
        const bool verify = step.authorized && !config_.server_ca.empty();
        const std::string host = verify ? config_.server_name : config_.host;
        request.url = "https://" + host + ":" + std::to_string(port) + step.target;
        if (verify) {
            request.server_ca = config_.server_ca;
            request.resolve = host + ":" + std::to_string(port) + ":" + config_.host;
        }
        request.source = ap.journey.plan().address;
        request.body = step.body;
        if (step.authorized) {
            request.client_cert = ap.cert;
            request.client_key = ap.key;
        }
        if (step.body.empty()) {
            request.download_to = ap.image;
            request.cut_off = step.cut_off;
        }
        request.timeout_ms = config_.request_timeout_s * 1000L;
        return request;
    }

    void finish_request(uint64_t index, const HttpResult& http) {
        ApState& ap = aps_[index];
        if (ap.journey.finished()) {
            return;  // the run ended for it while the request was out
        }
        const auto now = Clock::now();
        stats_.latency_ms[static_cast<size_t>(ap.request.kind)].push_back(
            ms_between(ap.request_started, now));
        ++stats_.requests;
        StepResult result;
        result.status = static_cast<int>(http.status);
        result.body = http.body;
        result.failure = http.error;
        result.tls_failure = http.tls_failure;
        result.server_handshake = http.server_handshake;
        result.tls_alert = http.tls_alert;
        result.cut_off = http.cut_off;
        if (ap.request.body.empty()) {
            result.image_version = check_image(ap, http);
        }
        const int delay_ms = ap.journey.on_result(result);
        if (ap.journey.outcome() == Outcome::ADMITTED) {
            stats_.admitted_s.push_back(ms_between(start_, now) / 1000.0);
        }
        if (ap.journey.finished()) {
            finish_ap(ap);
        } else {
            due_.push({now + std::chrono::milliseconds(delay_ms), index});
        }
    }

    // The version in the image header when the whole image arrived.
    std::optional<std::string> check_image(const ApState& ap, const HttpResult& http) const {
        std::optional<std::string> version;
        if (http.status == 200 && http.curl_code == 0 &&
            (!http.content_length || *http.content_length == http.bytes)) {
            const auto info = dorbt_scan_firmware_file(board_types_, ap.image);
            if (info && info->image_size == http.bytes) {
                version = info->version.to_str();
            }
        }
        ::unlink(ap.image.c_str());
        return version;
    }

    // The next AP begins its journey.
    void enter(Clock::time_point now) {
        aps_[entered_].started = now;
        due_.push({now, entered_});
        ++entered_;
    }

    void finish_ap(ApState& ap) {
        ap.ended = Clock::now();
        ++finished_;
        if (!stopping_ && entered_ < aps_.size()) {
            enter(ap.ended);
        }
    }

    void end_all(Outcome outcome) {
        for (ApState& ap : aps_) {
            if (!ap.journey.finished()) {
                ap.journey.stop(outcome);
                finish_ap(ap);
            }
        }
    }

    void show_progress(bool last) {
        if (!config_.progress) {
            return;
        }
        const auto now = Clock::now();
        if (!last && now - shown_ < std::chrono::milliseconds(100)) {
            return;
        }
        shown_ = now;
        constexpr int kWidth = 30;
        const size_t total = aps_.empty() ? 1 : aps_.size();
        const int filled = static_cast<int>(finished_ * kWidth / total);
        std::fprintf(stderr, "\r[%s%s] %zu/%zu APs done, %llu requests, %zu in flight ",
                     std::string(static_cast<size_t>(filled), '#').c_str(),
                     std::string(static_cast<size_t>(kWidth - filled), '.').c_str(), finished_,
                     aps_.size(), static_cast<unsigned long long>(stats_.requests), pool_.active());
        if (last) {
            std::fprintf(stderr, "\n");
        }
    }

    RunOutput output() {
        RunOutput out;
        stats_.elapsed_s = ms_between(start_, Clock::now()) / 1000.0;
        out.stats = stats_;
        for (const ApState& ap : aps_) {
            const Journey& j = ap.journey;
            out.aps.push_back(ApResult{j.plan().mac.str(), j.plan().address, j.plan().device_type,
                                       j.plan().sw_version, j.sw_version(), j.outcome(), j.detail(),
                                       j.password(), j.requests(), j.upgrades(), j.retries_used(),
                                       j.limit_refusals(), j.certificate_refusals(), j.restarts(),
                                       ms_between(ap.started, ap.ended) / 1000.0});
        }
        if (!config_.admissions_file.empty()) {
            FILE* file = std::fopen(config_.admissions_file.c_str(), "we");
            if (file != nullptr) {
                print_admissions(file, stats_);
                std::fclose(file);
            } else {
                std::perror(("dor-ap-sim: " + config_.admissions_file).c_str());
            }
        }
        return out;
    }

    const RunConfig& config_;
    const std::atomic<bool>& stop_;
    BoardTypesParams board_types_;
    ScratchDir scratch_;
    HttpPool pool_;
    std::vector<ApState> aps_;
    std::priority_queue<Due, std::vector<Due>, std::greater<Due>> due_;
    size_t finished_ = 0;
    size_t entered_ = 0;  // APs whose journey has begun, in order
    bool stopping_ = false;
    RunStats stats_;
    Clock::time_point start_;
    Clock::time_point shown_;
};

}  // namespace

RunOutput run_aps(const RunConfig& config, const std::atomic<bool>& stop) {
    allow_all_descriptors();
    return Runner(config, stop).run();
}
