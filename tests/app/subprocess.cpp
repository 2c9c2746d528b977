#include "tests/app/subprocess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

Subprocess::Subprocess(const Launch& launch) {
    char tmpl[] = "/tmp/dor-test-stderr-XXXXXX";
    const int err_fd = mkstemp(tmpl);
    if (err_fd < 0)
        throw std::runtime_error("mkstemp failed");
    stderr_path_ = tmpl;

    pid_ = fork();
    if (pid_ < 0)
        throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        setpgid(0, 0);  // its own group, so that its children can be stopped with it
        dup2(err_fd, STDERR_FILENO);
        const int null_fd = open("/dev/null", O_RDWR);
        dup2(null_fd, STDIN_FILENO);
        for (const auto& name : launch.unset_env)
            unsetenv(name.c_str());
        for (const auto& [name, value] : launch.env)
            setenv(name.c_str(), value.c_str(), 1);
        std::vector<char*> argv;
        for (const auto& arg : launch.argv)
            argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execv(launch.path.c_str(), argv.data());
        _exit(127);
    }
    setpgid(pid_, pid_);  // also here, so the group exists whichever runs first
    close(err_fd);
}

Subprocess::~Subprocess() {
    if (pid_ > 0) {
        // A supervisor killed here would leave its service running.
        kill(-pid_, SIGKILL);
        if (!status_)
            waitpid(pid_, nullptr, 0);
    }
    if (!stderr_path_.empty())
        unlink(stderr_path_.c_str());
}

void Subprocess::signal(int sig) const {
    kill(pid_, sig);
}

std::optional<int> Subprocess::wait_exit(std::chrono::milliseconds limit) {
    if (status_)
        return status_;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        int raw = 0;
        if (waitpid(pid_, &raw, WNOHANG) == pid_) {
            status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
            return status_;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::string Subprocess::stderr_text() const {
    std::ifstream in(stderr_path_);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool Subprocess::wait_for_stderr(const std::string& needle, std::chrono::milliseconds limit) const {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (stderr_text().find(needle) != std::string::npos)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return stderr_text().find(needle) != std::string::npos;
}
