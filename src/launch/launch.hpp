// The last step of every successful boot: unpack the application archive
// into the RAM file system, install it and start the application in the
// variant the boot settings select.
#pragma once

#include <cstddef>

// Each command line of the launch is composed here before it is run.
inline constexpr std::size_t kStringBuffSize = 256;
extern char stringbuff[kStringBuffSize];

namespace launch {

inline constexpr const char* kDistroId = "/tmp/home/bin/distro-id";
inline constexpr const char* kInstallScript = "/tmp/home/bin/install.sh";
inline constexpr const char* kEnvSetup = "/tmp/home/bin/env-setup";
inline constexpr const char* kDebugger = "/tmp/gdb";
inline constexpr const char* kLauncher = "/bin/backtrace";

// Loads the archive's environment settings: whitespace-separated pairs of
// name and value, set with overwrite (a last name alone gets "").
void load_env_setup(const char* path);

}  // namespace launch

// Never returns: the application replaces the process, or the board is
// rebooted when an application run under a shell ends.
[[noreturn]] void launch_image(bool diagnostics);
