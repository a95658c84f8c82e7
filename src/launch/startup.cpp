#include "launch/startup.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "common/spawn.hpp"
#include "hw/i2c.hpp"
#include "platform/clock.hpp"

volatile std::uint8_t sig_quit_raised = 0;

void sig_handler(int) {
    sig_quit_raised = 1;
}

void sig_init() {
    // No SA_RESTART: a console read that Ctrl-C interrupts must return, so
    // that the dialogue finds the flag set instead of waiting on.
    struct sigaction action {};
    action.sa_handler = sig_handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(SIGINT, &action, nullptr);
}

int which_image() {
    return api_get_image() == 2 ? 2 : 1;
}

void board_reset() {
    platform::pause_s(1);
    if (startup::run_shell("reboot") < 0)
        std::fprintf(stderr, "System reboot failed, please power-cycle.\n");
    std::exit(0);
}

namespace startup {

namespace {

// The signals a console's keys, or noise that looks like them, raise in its
// foreground process group, besides SIGINT.
constexpr int kConsoleSignals[] = {SIGQUIT, SIGTSTP, SIGTTIN, SIGTTOU};

void set_console_signals(void (*disposition)(int)) {
    struct sigaction action {};
    action.sa_handler = disposition;
    sigemptyset(&action.sa_mask);
    for (int s : kConsoleSignals) sigaction(s, &action, nullptr);
}

extern "C" char** environ;

}  // namespace

void ignore_console_signals() {
    set_console_signals(SIG_IGN);
}

void restore_console_signals() {
    set_console_signals(SIG_DFL);
}

void console_defaults(posix_spawnattr_t* attr, const sigset_t& mask, short flags) {
    // An ignored disposition would outlive the exec.
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    for (int s : kConsoleSignals) sigaddset(&defaults, s);
    posix_spawnattr_setsigdefault(attr, &defaults);
    posix_spawnattr_setsigmask(attr, &mask);
    posix_spawnattr_setflags(
        attr, static_cast<short>(POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | flags));
}

int run_shell(const char* command) {
    char sh[] = "sh";
    char dash_c[] = "-c";
    char* argv[] = {sh, dash_c, const_cast<char*>(command), nullptr};
    return run_program("/bin/sh", argv);
}

int run_program(const char* path, char* const argv[]) {
    std::fflush(stdout);
    std::fflush(stderr);

    // What system(3) does for its caller: SIGINT and SIGQUIT go to the
    // command alone, and SIGCHLD is held until its status has been taken.
    struct sigaction ignore {};
    struct sigaction saved_int {};
    struct sigaction saved_quit {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGINT, &ignore, &saved_int);
    sigaction(SIGQUIT, &ignore, &saved_quit);
    sigset_t chld, saved_mask;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    sigprocmask(SIG_BLOCK, &chld, &saved_mask);

    int status = -1;
    common::SpawnAttributes attr;
    if (attr.ok()) {
        // The command gets the console's signals at their defaults, and the
        // signal mask the launcher had.
        console_defaults(attr.get(), saved_mask);
        pid_t pid = -1;
        if (posix_spawn(&pid, path, nullptr, attr.get(), argv, environ) != 0) {
            status = W_EXITCODE(127, 0);  // as system(3): the shell could not run
        } else {
            for (;;) {
                const pid_t got = ::waitpid(pid, &status, WUNTRACED);
                if (got < 0 && errno == EINTR) continue;
                if (got < 0) {
                    status = -1;
                    break;
                }
                if (!WIFSTOPPED(status)) break;
                // Ctrl-Z on the console stopped the command, and no shell of
                // the switch's will ever continue it: the launcher would wait
                // for ever.
                ::kill(pid, SIGCONT);
            }
        }
    }

    sigaction(SIGINT, &saved_int, nullptr);
    sigaction(SIGQUIT, &saved_quit, nullptr);
    sigprocmask(SIG_SETMASK, &saved_mask, nullptr);
    return status;
}

void claim_standard_descriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The lowest free descriptor: this one.
        if (::open("/dev/null", O_RDWR) < 0) return;
    }
}

bool exists(const char* path) {
    struct stat st {};
    return ::stat(path, &st) == 0;
}

}  // namespace startup
