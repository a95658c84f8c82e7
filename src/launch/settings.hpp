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
// Trial boots of newly installed images ("bootlimit=N": N unconfirmed starts
// before the other slot takes over; 0: off, as on every switch without it),
// confirmation by the launcher after the application has run that many
// seconds ("bootconfirm=N", 0: only the application confirms), and the
// hardware watchdog's timeout for a trial start ("bootwatchdog=N", 0: the
// watchdog is left alone).
extern std::int32_t boot_limit;
extern std::int32_t boot_confirm_after;
extern std::int32_t boot_watchdog;
// Zero-touch install ("zerotouch=on"): a switch that finds no bootable image
// asks the management network for an installer before offering the rescue
// menu (mgmt/netinstall.hpp).
extern std::uint8_t zero_touch_enable;

namespace settings {

inline constexpr std::int32_t kDefaultGdbPort = 1234;
// Only this much of the environment, right after its CRC word, is looked at.
inline constexpr std::uint32_t kEnvOffset = 4;
inline constexpr std::uint32_t kEnvWindow = 1280;
inline constexpr std::int32_t kMaxBootLimit = 99;
inline constexpr std::int32_t kMaxBootSeconds = 86400;

// Back to the values at power-on (for tests that boot more than once).
void reset_boot_settings();

}  // namespace settings

void parse_uboot_env();
