#include "tests/app/subprocess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

Subprocess::Subprocess(const Launch& launch) {
    char tmpl[] = "/tmp/dor-test-stderr-XXXXXX";
    const int err_fd = mkstemp(tmpl);
    if (err_fd < 0 || (pid_ = fork()) < 0)
        throw std::runtime_error("cannot start " + launch.path);
    stderr_path_ = tmpl;
    if (pid_ == 0) {
        setpgid(0, 0);  // its own group, so that its children can be stopped with it
        dup2(err_fd, STDERR_FILENO);
        dup2(open("/dev/null", O_RDWR), STDIN_FILENO);
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
    kill(-pid_, SIGKILL);  // a supervisor killed alone would leave its service running
    if (!status_)
        waitpid(pid_, nullptr, 0);
    unlink(stderr_path_.c_str());
}

void Subprocess::signal(int sig) const {
    kill(pid_, sig);
}

std::optional<int> Subprocess::wait_exit(std::chrono::milliseconds limit) {
    for (const auto deadline = std::chrono::steady_clock::now() + limit; !status_;
         std::this_thread::sleep_for(std::chrono::milliseconds(5))) {
        int raw = 0;
        if (waitpid(pid_, &raw, WNOHANG) == pid_)
            status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        else if (std::chrono::steady_clock::now() >= deadline)
            break;
    }
    return status_;
}

std::string Subprocess::stderr_text() const {
    std::ifstream in(stderr_path_);
    return {std::istreambuf_iterator<char>(in), {}};
}

bool Subprocess::wait_for_stderr(const std::string& needle, std::chrono::milliseconds limit) const {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (stderr_text().find(needle) == std::string::npos) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}
