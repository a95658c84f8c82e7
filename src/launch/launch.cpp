#include "launch/launch.hpp"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/unique_fd.hpp"
#include "hw/i2c.hpp"
#include "launch/boot_state.hpp"
#include "launch/extract.hpp"
#include "launch/settings.hpp"
#include "launch/startup.hpp"
#include "platform/clock.hpp"
#include "rescue/console.hpp"
#include "rescue/rescue.hpp"

char stringbuff[kStringBuffSize];

namespace {

constexpr std::size_t kWordSize = 512;  // each word at most 511 characters

// Replaces the process with the application launcher, which starts the
// application with our console and process id.
[[noreturn]] void exec_launcher() {
    bootstate::before_application(false);
    std::snprintf(stringbuff, sizeof stringbuff, "%s", launch::kLauncher);
    std::fflush(stdout);
    std::fflush(stderr);
    startup::restore_console_signals();
    ::execlp(stringbuff, stringbuff, static_cast<char*>(nullptr));
    startup::ignore_console_signals();
    std::fprintf(stderr, "Failed to start Application OS.\n");
    board_reset();
}

// Runs a launch variant that keeps us waiting; the board is rebooted when it
// ends.
[[noreturn]] void run_and_reset(const char* command) {
    startup::run_shell(command);
    board_reset();
}

}  // namespace

namespace launch {

void load_env_setup(const char* path) {
    common::UniqueFile f(std::fopen(path, "r"));
    if (!f) return;
    char name[kWordSize] = {};
    char value[kWordSize] = {};
    while (std::fscanf(f.get(), "%511s %511s", name, value) != EOF) {
        ::setenv(name, value, 1);
        std::memset(name, 0, sizeof name);
        std::memset(value, 0, sizeof value);
    }
}

}  // namespace launch

void launch_image(bool diagnostics) {
    platform::pause_s(1);

    std::snprintf(stringbuff, sizeof stringbuff, "cd /tmp \ntar mxzf %s \nrm %s\n",
                  extract::kArchive, extract::kArchive);
    if (startup::run_shell(stringbuff) < 0) {
        std::fprintf(stderr, "Failed to gunzip Application OS.\n");
        board_reset();
    }

    if (!startup::exists(launch::kDistroId)) {
        std::puts("WARNING: Suspected incompatible application image detected during unpacking");
        std::printf("Would you like to enter recovery mode to download a new image? y/N: ");
        std::fflush(stdout);
        const int key = uartGetC();
        if (key == 'y' || key == 'Y') run_rescue_mode();
    }

    // Nothing after this point touches the VPD.
    api_i2c_close();

    if (diagnostics) {
        std::puts("install diags image");
        startup::run_shell("mkdir -p /tmp/home/bin");
        startup::run_shell("mv /tmp/mpdiag.elf.strip /tmp/home/bin/mp.elf.strip");
    }

    if (startup::exists(launch::kInstallScript)) {
        std::puts("Running AOS install script");
        startup::run_shell(launch::kInstallScript);
        // The variables reach the shell and the application by inheritance.
        launch::load_env_setup(launch::kEnvSetup);
    }

    if (shell_enable) {
        std::puts("Dropping into shell");
        std::snprintf(stringbuff, sizeof stringbuff, "/bin/sh\n");
        startup::run_shell(stringbuff);
        std::puts("Dropping out of shell");
    }

    // gdbserver implies gdb, so its rows come first; the memory checker is
    // ignored under gdb.
    if (gdbserver_enable) {
        if (memchk_enable)
            std::snprintf(stringbuff, sizeof stringbuff,
                          "LD_PRELOAD=libduma.so.0.0.0 /bin/gdbserver :%d "
                          "/tmp/home/bin/mp.elf.strip\n",
                          gdbport);
        else
            std::snprintf(stringbuff, sizeof stringbuff,
                          "/bin/gdbserver :%d /tmp/home/bin/mp.elf.strip\n", gdbport);
        run_and_reset(stringbuff);
    }
    if (gdb_enable) {
        if (startup::exists(launch::kDebugger)) {
            std::puts("*** Launching under GDB ***");
            std::snprintf(stringbuff, sizeof stringbuff, "/tmp/gdb /tmp/home/bin/mp.elf.strip");
            run_and_reset(stringbuff);
        }
        std::puts("**** GDB mode selected but GDB not available. Please install GDB image ***");
        exec_launcher();
    }
    if (memchk_enable) {
        bootstate::before_application(false);
        std::snprintf(stringbuff, sizeof stringbuff,
                      "LD_PRELOAD=libduma.so.0.0.0 /tmp/home/bin/mp.elf.strip\n");
        run_and_reset(stringbuff);
    }
    exec_launcher();
}
