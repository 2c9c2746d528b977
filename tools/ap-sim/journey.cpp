#include "tools/ap-sim/journey.h"

#include <algorithm>

#include "tools/common/json.h"

namespace {

constexpr int kCodeCredentials = 1;
constexpr int kCodeUpgrade = 4025;
constexpr int kCodeUnavailable = 4026;
constexpr int kCodeAllow = 4027;
constexpr int kCodeAuthRequired = 4028;

std::string member_text(json_t* object, const char* key) {
    const char* text = json_string_value(json_object_get(object, key));
    return text != nullptr ? text : "";
}

// The service forgot the AP: only a new journey can get it known again.
bool tells_to_start_over(const std::string& description) {
    return description.find("not tracked") != std::string::npos;
}

uint32_t seed_of(const MacAddr& mac) {
    uint32_t seed = 0;
    for (unsigned char octet : mac.octets) {
        seed = seed * 31 + octet;
    }
    return seed;
}

}  // namespace

int backoff_cap_ms(int failures) {
    int cap = kBackoffFloorMs;
    for (int i = 1; i < failures && cap < kBackoffCeilingMs; ++i) {
        cap *= 2;
    }
    return std::min(cap, kBackoffCeilingMs);
}

int backoff_pause_ms(int failures, std::mt19937& random) {
    return std::uniform_int_distribution<int>(0, backoff_cap_ms(failures))(random);
}

Failure classify_failure(const StepResult& result, bool authorized) {
    if (result.tls_alert) {
        return authorized ? Failure::CERTIFICATE : Failure::TRANSPORT;
    }
    if (!result.tls_failure) {
        return Failure::TRANSPORT;
    }
    if (!result.server_handshake) {
        return Failure::LIMIT;  // accepted, then closed before any TLS work
    }
    // The handshake went through and the request was dropped unanswered: on the
    // authorized endpoint a refused certificate whose alert was lost in the reset.
    return authorized ? Failure::CERTIFICATE : Failure::LIMIT;
}

const char* kind_name(RequestKind kind) {
    switch (kind) {
        case RequestKind::REGISTER_FREE:
            return "register-free";
        case RequestKind::WAIT:
            return "wait";
        case RequestKind::DOWNLOAD_FREE:
            return "download-free";
        case RequestKind::REGISTER_AUTH:
            return "register-auth";
        case RequestKind::DOWNLOAD_AUTH:
            return "download-auth";
        case RequestKind::READY:
            return "ready";
    }
    return "?";
}

const char* outcome_name(Outcome outcome) {
    switch (outcome) {
        case Outcome::RUNNING:
            return "running";
        case Outcome::ADMITTED:
            return "admitted";
        case Outcome::REFUSED:
            return "refused";
        case Outcome::TLS_REFUSED:
            return "tls-refused";
        case Outcome::LIMIT_REFUSED:
            return "limit-refused";
        case Outcome::ERROR:
            return "error";
        case Outcome::DOWNLOAD_FAILED:
            return "download-failed";
        case Outcome::TIMED_OUT:
            return "timed-out";
        case Outcome::STOPPED:
            return "stopped";
    }
    return "?";
}

Journey::Journey(ApPlan plan, JourneyConfig config)
    : plan_(std::move(plan)),
      config_(config),
      sw_version_(plan_.sw_version),
      random_(seed_of(plan_.mac)) {
    cut_offs_left_ = plan_.abort_downloads;
}

std::string Journey::request_body() const {
    JsonPtr body(json_pack("{s:s, s:s, s:s, s:s, s:s, s:i}", "deviceType",
                           plan_.device_type.c_str(), "swVersion", sw_version_.c_str(), "hwVersion",
                           plan_.hw_version.c_str(), "serial", plan_.serial.c_str(), "mac",
                           plan_.mac.str().c_str(), "timeout", 30));
    JsonText text(json_dumps(body.get(), JSON_COMPACT | JSON_PRESERVE_ORDER));
    return text ? text.get() : "{}";
}

StepRequest Journey::next(bool has_cert) {
    if (step_ == Step::START) {
        step_ = has_cert ? Step::REGISTER_AUTH : Step::REGISTER_FREE;
    } else if (step_ == Step::WAIT && has_cert) {
        step_ = Step::REGISTER_AUTH;
    }
    ++requests_;
    StepRequest request;
    switch (step_) {
        case Step::START:
        case Step::REGISTER_FREE:
            on_authorized_ = false;
            request = {RequestKind::REGISTER_FREE, false, "/ott/register/ap", request_body()};
            break;
        case Step::WAIT:
            request = {RequestKind::WAIT, false, "/ott/wait/ap", request_body()};
            break;
        case Step::REGISTER_AUTH:
            on_authorized_ = true;
            request = {RequestKind::REGISTER_AUTH, true, "/ott/register/ap", request_body()};
            break;
        case Step::READY:
            request = {RequestKind::READY, true, "/ott/ready/ap", request_body()};
            break;
        case Step::DOWNLOAD:
            request.kind = on_authorized_ ? RequestKind::DOWNLOAD_AUTH : RequestKind::DOWNLOAD_FREE;
            request.authorized = on_authorized_;
            request.target = "/fw/" + fw_file_;
            request.cut_off = cut_offs_left_ > 0;
            break;
    }
    return request;
}

void Journey::stop(Outcome outcome) {
    if (finished()) {
        return;
    }
    // An AP still failing when the run ends says why rather than just "timed-out".
    const bool failing = config_.backoff && failures_in_row_ > 0 && outcome == Outcome::TIMED_OUT;
    outcome_ = failing ? last_failure_ : outcome;
}

int Journey::fail(Outcome outcome, std::string detail, bool start_over) {
    detail_ = std::move(detail);
    failed_now_ = true;
    if (config_.backoff) {
        ++retries_used_;
        ++failures_in_row_;
        last_failure_ = outcome;
        if (start_over) {
            step_ = Step::START;
            ++restarts_;
        }
        return backoff_pause_ms(failures_in_row_, random_);
    }
    if (retries_used_ < config_.retries) {
        ++retries_used_;
        ++restarts_;
        step_ = Step::START;
        return config_.retry_ms;
    }
    outcome_ = outcome;
    return 0;
}

int Journey::on_result(const StepResult& result) {
    failed_now_ = false;
    int pause_ms = 0;
    if (step_ == Step::DOWNLOAD) {
        pause_ms = on_download(result);
    } else if (result.status == 0) {
        switch (classify_failure(result, on_authorized_)) {
            case Failure::LIMIT:
                ++limit_refusals_;
                pause_ms = fail(Outcome::LIMIT_REFUSED, result.failure);
                break;
            case Failure::CERTIFICATE:
                ++certificate_refusals_;
                pause_ms = fail(Outcome::TLS_REFUSED, result.failure);
                break;
            case Failure::TRANSPORT:
                pause_ms = fail(Outcome::ERROR, result.failure);
                break;
        }
    } else {
        pause_ms = on_answer(result);
    }
    if (!failed_now_) {
        failures_in_row_ = 0;
    }
    return pause_ms;
}

int Journey::on_download(const StepResult& result) {
    ++download_attempts_;
    if (result.cut_off) {
        --cut_offs_left_;
    } else if (result.status == 200 && result.image_version) {
        sw_version_ = *result.image_version;
        ++upgrades_;
        download_attempts_ = 0;
        step_ = on_authorized_ ? Step::REGISTER_AUTH : Step::REGISTER_FREE;
        return 0;
    } else {
        detail_ = result.status == 0 ? result.failure
                                     : "download answered " + std::to_string(result.status);
    }
    if (download_attempts_ < kDownloadTries) {
        if (!config_.backoff) {
            return config_.retry_ms;
        }
        failed_now_ = true;
        return backoff_pause_ms(++failures_in_row_, random_);
    }
    download_attempts_ = 0;
    // The service awaits no more downloads of this order: ask again.
    step_ = on_authorized_ ? Step::REGISTER_AUTH : Step::REGISTER_FREE;
    return fail(Outcome::DOWNLOAD_FAILED, detail_.empty() ? "no whole image" : detail_);
}

int Journey::on_answer(const StepResult& result) {
    JsonPtr answer(json_loadb(result.body.data(), result.body.size(), 0, nullptr));
    if (!answer || !json_is_object(answer.get())) {
        return fail(Outcome::ERROR, "not a JSON answer: " + result.body.substr(0, 120));
    }
    if (result.status != 200) {
        const std::string why = member_text(answer.get(), "error-description");
        return fail(Outcome::ERROR, std::to_string(result.status) + " " + why,
                    tells_to_start_over(why));
    }
    if (step_ == Step::WAIT) {
        if (!json_is_true(json_object_get(answer.get(), "noted"))) {
            return fail(Outcome::ERROR, "unexpected answer to wait: " + result.body);
        }
        return config_.poll_ms;
    }
    const json_t* code_value = json_object_get(answer.get(), "code");
    const json_int_t code = json_is_integer(code_value) ? json_integer_value(code_value) : -1;
    if (config_.load == LoadKind::REGISTER && step_ == Step::REGISTER_FREE) {
        return 0;  // any answer will do; the next register follows
    }
    if (code == kCodeUpgrade) {
        fw_file_ = member_text(answer.get(), "msg");
        download_attempts_ = 0;
        step_ = Step::DOWNLOAD;
        return 0;
    }
    if (code == kCodeUnavailable) {
        detail_ = member_text(answer.get(), "error-description");
        outcome_ = Outcome::REFUSED;
        return 0;
    }
    if (code == kCodeAuthRequired && step_ == Step::REGISTER_FREE) {
        step_ = Step::WAIT;
        return 0;
    }
    if (code == kCodeCredentials && step_ == Step::REGISTER_AUTH) {
        password_ = member_text(json_object_get(answer.get(), "system"), "password");
        step_ = Step::READY;
        return 0;
    }
    if (code == kCodeAllow && step_ == Step::READY) {
        if (config_.load != LoadKind::READY) {
            outcome_ = Outcome::ADMITTED;
        }
        return 0;
    }
    return fail(Outcome::ERROR, "unexpected answer: " + result.body.substr(0, 120));
}
