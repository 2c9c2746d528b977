#include "https/self_signed.h"

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>

extern char** environ;

namespace {

bool exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

// "&>" is bash syntax: dash would run the command in the background and the
// vhost would be created before the files exist.
void run_with_bash(const std::string& command) {
    const char* argv[] = {"bash", "-c", command.c_str(), nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, "/bin/bash", nullptr, nullptr, const_cast<char**>(argv), environ) != 0) {
        return;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

}  // namespace

std::string self_signed_command(const std::string& cert, const std::string& key) {
    return std::string("openssl req -x509 -newkey rsa:2048 -keyout ") + key + " -nodes -out " +
           cert + " -days 365 -subj '/CN=DOR' -batch &> /dev/null";
}

void ensure_self_signed_files(const std::string& cert, const std::string& key) {
    if (exists(cert) && exists(key)) {
        return;
    }
    run_with_bash(self_signed_command(cert, key));
}
