#include "mgmt/child.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include "common/spawn.hpp"
#include "launch/startup.hpp"

extern "C" char** environ;

namespace child {

pid_t start(const char* path, char* const argv[], int out) {
    common::SpawnAttributes attr;
    common::SpawnFileActions actions;
    if (!attr.ok() || !actions.ok()) {
        std::printf("Cannot run %s\n", path);
        return -1;
    }
    posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (out >= 0) {
        posix_spawn_file_actions_adddup2(actions.get(), out, STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(actions.get(), out, STDERR_FILENO);
    } else {
        posix_spawn_file_actions_addopen(actions.get(), STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_adddup2(actions.get(), STDOUT_FILENO, STDERR_FILENO);
    }
    sigset_t none;
    sigemptyset(&none);
    startup::console_defaults(attr.get(), none, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(attr.get(), 0);
    pid_t pid = -1;
    const int err = posix_spawn(&pid, path, actions.get(), attr.get(), argv, environ);
    if (err != 0) {
        std::printf("Cannot run %s (err %d)\n", path, err);
        return -1;
    }
    return pid;
}

bool ended(pid_t pid, int& code) {
    if (pid < 0) return true;
    int status = 0;
    const pid_t got = ::waitpid(pid, &status, WNOHANG);
    if (got == 0) return false;
    code = got < 0 ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return true;
}

void stop(pid_t pid) {
    if (pid < 0) return;
    ::kill(-pid, SIGTERM);
    int status = 0;
    for (int i = 0; i < 100; ++i) {
        if (::waitpid(pid, &status, WNOHANG) != 0) return;
        ::usleep(10000);
    }
    ::kill(-pid, SIGKILL);
    ::waitpid(pid, &status, 0);
}

}  // namespace child
