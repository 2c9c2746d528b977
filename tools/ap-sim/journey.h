#pragma once
// One AP's dialogue with the service, as a state machine without I/O: it says
// which request to send next and reads each answer.
//
//   free endpoint:  register --4028--> wait (poll until the certificate is delivered)
//                   register --4025--> download /fw/<msg> --> register again
//   authorized:     register --1 (credentials)--> ready --4027--> admitted
//                   register/ready --4025--> download --> register again
//   anywhere:       4026 --> refused with its "error-description"
// An AP that already holds its certificate starts on the authorized endpoint.
//
// After a failure an AP either starts over after a fixed pause, a fixed number
// of times, or (backoff) tries the same step again after a random pause, for as
// long as the run lasts, as real APs do.

#include <cstdint>
#include <optional>
#include <random>
#include <string>

#include "tools/ap-sim/plan.h"

enum class RequestKind { REGISTER_FREE, WAIT, DOWNLOAD_FREE, REGISTER_AUTH, DOWNLOAD_AUTH, READY };
inline constexpr int kRequestKinds = 6;
const char* kind_name(RequestKind kind);

enum class Outcome {
    RUNNING,
    ADMITTED,
    REFUSED,          // 4026 from the service
    TLS_REFUSED,      // the authorized endpoint refused the client certificate
    LIMIT_REFUSED,    // closed unanswered at a connection or request limit
    ERROR,            // error answer, unexpected answer or transport failure
    DOWNLOAD_FAILED,  // the image never arrived whole
    TIMED_OUT,        // the run's time ran out first
    STOPPED,          // load mode: the run ended while the AP was repeating
};
inline constexpr int kOutcomes = 9;
const char* outcome_name(Outcome outcome);

// A load run repeats one request kind instead of finishing.
enum class LoadKind { NONE, REGISTER, READY };

struct JourneyConfig {
    int poll_ms = 200;  // between "/wait/ap" polls
    int retry_ms = 500;
    int retries = 0;  // journeys restarted after an error
    LoadKind load = LoadKind::NONE;
    bool backoff = false;  // retry the failed step without limit, with backoff_pause_ms
};

// Backoff pauses: the cap doubles with each failure in a row from the floor up
// to the ceiling, and the pause is drawn uniformly in [0, cap] ("full jitter"),
// so that APs failed together spread out instead of coming back together.
// Real APs start at half a second and never wait more than half a minute.
inline constexpr int kBackoffFloorMs = 500;
inline constexpr int kBackoffCeilingMs = 30000;
// `failures`: failures in a row, 1 for the first.
int backoff_cap_ms(int failures);
int backoff_pause_ms(int failures, std::mt19937& random);

// Why a request got no answer, as far as the client can tell.
enum class Failure {
    TRANSPORT,    // anything else: no connection, time-out, broken transfer
    LIMIT,        // closed before any TLS from the server, or a request closed unanswered on
                  // the free endpoint: refused at a connection or request limit
    CERTIFICATE,  // a TLS alert, or closed unanswered after the handshake on the authorized
                  // endpoint: the client certificate was refused
};

struct StepRequest {
    RequestKind kind = RequestKind::REGISTER_FREE;
    bool authorized = false;  // which endpoint
    std::string target;       // "/ott/register/ap", "/fw/<file>"
    std::string body;         // JSON for a POST; empty for a GET
    bool cut_off = false;     // a download to break halfway
};

struct StepResult {
    int status = 0;                            // HTTP status; 0 when no answer came
    std::string body;                          // answer of an "/ott" request
    std::string failure;                       // why there was no answer
    bool tls_failure = false;                  // failed in or right after the TLS handshake
    bool server_handshake = false;             // the server sent TLS handshake records
    bool tls_alert = false;                    // the server sent a fatal TLS alert
    bool cut_off = false;                      // a download broken on purpose
    std::optional<std::string> image_version;  // a whole image arrived: its version
};

// Only for a result without an answer (status 0).
Failure classify_failure(const StepResult& result, bool authorized);

// Downloads an AP attempts for one upgrade order, as many as the service allows.
inline constexpr int kDownloadTries = 5;

class Journey {
  public:
    Journey(ApPlan plan, JourneyConfig config);

    // The request to send now. `has_cert`: the AP's certificate has been delivered.
    StepRequest next(bool has_cert);
    // Reads the answer; returns how long to wait before the next request (ms).
    int on_result(const StepResult& result);
    // The run is over for this AP (time-out or end of a load run).
    void stop(Outcome outcome);

    bool finished() const { return outcome_ != Outcome::RUNNING; }
    Outcome outcome() const { return outcome_; }
    const std::string& detail() const { return detail_; }
    const ApPlan& plan() const { return plan_; }
    const std::string& sw_version() const { return sw_version_; }
    const std::string& password() const { return password_; }
    int upgrades() const { return upgrades_; }
    int retries_used() const { return retries_used_; }
    int requests() const { return requests_; }
    int limit_refusals() const { return limit_refusals_; }
    int certificate_refusals() const { return certificate_refusals_; }
    int restarts() const { return restarts_; }

  private:
    enum class Step { START, REGISTER_FREE, WAIT, DOWNLOAD, REGISTER_AUTH, READY };

    std::string request_body() const;
    int fail(Outcome outcome, std::string detail, bool start_over = false);
    int on_download(const StepResult& result);
    int on_answer(const StepResult& result);

    ApPlan plan_;
    JourneyConfig config_;
    Step step_ = Step::START;
    bool on_authorized_ = false;  // endpoint of the current step
    std::string sw_version_;
    std::string fw_file_;
    std::string password_;
    int download_attempts_ = 0;
    int cut_offs_left_ = 0;
    int upgrades_ = 0;
    int retries_used_ = 0;
    int requests_ = 0;
    int limit_refusals_ = 0;
    int certificate_refusals_ = 0;
    int restarts_ = 0;
    int failures_in_row_ = 0;
    bool failed_now_ = false;
    Outcome last_failure_ = Outcome::RUNNING;
    std::mt19937 random_;
    Outcome outcome_ = Outcome::RUNNING;
    std::string detail_;
};
