#include "mgmt/child.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <initializer_list>

extern "C" char** environ;

namespace child {

namespace {

// Owns the two attribute records of one posix_spawn.
struct SpawnSetup {
    posix_spawn_file_actions_t actions{};
    posix_spawnattr_t attr{};
    SpawnSetup() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attr);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
};

}  // namespace

pid_t start(const char* path, char* const argv[], int out) {
    SpawnSetup s;
    posix_spawn_file_actions_addopen(&s.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (out >= 0) {
        posix_spawn_file_actions_adddup2(&s.actions, out, STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&s.actions, out, STDERR_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&s.actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_adddup2(&s.actions, STDOUT_FILENO, STDERR_FILENO);
    }
    sigset_t defaults, mask;
    sigemptyset(&defaults);
    for (int sig : {SIGINT, SIGQUIT, SIGTSTP, SIGTTIN, SIGTTOU, SIGPIPE}) sigaddset(&defaults, sig);
    sigemptyset(&mask);
    posix_spawnattr_setpgroup(&s.attr, 0);
    posix_spawnattr_setsigdefault(&s.attr, &defaults);
    posix_spawnattr_setsigmask(&s.attr, &mask);
    posix_spawnattr_setflags(
        &s.attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    pid_t pid = -1;
    const int err = posix_spawn(&pid, path, &s.actions, &s.attr, argv, environ);
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
