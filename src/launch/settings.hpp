// Boot settings, read once at start from the boot loader's environment
// partition: a CRC word followed by NUL-terminated name=value strings.
#pragma once

#include <cstdint>

extern std::int32_t gdb_enable;
extern std::int32_t gdbserver_enable;
extern std::int32_t gdbport;
extern std::uint8_t shell_enable;
extern std::uint8_t memchk_enable;
extern std::int32_t rescue_enable;
extern std::int32_t standalone_diags;

namespace settings {

inline constexpr std::int32_t kDefaultGdbPort = 1234;
// Only this much of the environment, right after its CRC word, is looked at.
inline constexpr std::uint32_t kEnvOffset = 4;
inline constexpr std::uint32_t kEnvWindow = 1280;

// Back to the values at power-on (for tests that boot more than once).
void reset_boot_settings();

}  // namespace settings

void parse_uboot_env();
