#include "launch/startup.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>

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

int run_shell(const char* command) {
    std::fflush(stdout);
    std::fflush(stderr);
    return std::system(command);
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
