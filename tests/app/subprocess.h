#pragma once
// Runs a real program for process tests: chosen argv[0], environment, and
// standard error captured in a file that the test can read while it runs.

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

class Subprocess {
  public:
    struct Launch {
        std::string path;
        std::vector<std::string> argv;           // argv[0] included
        std::map<std::string, std::string> env;  // set on top of the test's environment
        std::vector<std::string> unset_env;      // removed before env is set
    };

    explicit Subprocess(const Launch& launch);
    ~Subprocess();  // kills the process and whatever it started
    Subprocess(const Subprocess&) = delete;
    Subprocess& operator=(const Subprocess&) = delete;

    pid_t pid() const { return pid_; }
    void signal(int sig) const;

    // Exit status (128+signal when killed), or nothing if it did not end in time.
    std::optional<int> wait_exit(std::chrono::milliseconds limit);

    std::string stderr_text() const;
    bool wait_for_stderr(const std::string& needle, std::chrono::milliseconds limit) const;

  private:
    pid_t pid_ = -1;
    std::string stderr_path_;
    std::optional<int> status_;
};
