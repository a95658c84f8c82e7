// What the test machine was given before it booted (run-kernel-stage writes
// the flash and EEPROM images with the same numbers), and the switch's
// partition sizes the kernel must report back.
#pragma once

#include <cstdint>
#include <vector>

#include "support/testing.hpp"

namespace kernel_stage {

using testing_support::PrintTo;  // a partition prints as its name

inline constexpr std::uint32_t kBlock = 0x10000;  // the NOR part's erase block

struct Partition {
    const char* name;  // the MTD partition's name; the switch's node is /dev/mtd-NAME
    std::uint32_t size;
};

// In flash order, from offset 0.
inline constexpr Partition kPartitions[] = {
    {"uboot", 0x80000},     {"ubootenv", 0x20000}, {"devicetree", 0x40000},
    {"kernel", 0x300000},   {"rfs", 0xF00000},     {"rescue", 0xA00000},
};

// Fill patterns written before the boot: byte i of a filled range is
// seed + 7i + i/256 (mod 256); these are bytes from..from+n-1 of one.
inline std::vector<std::uint8_t> pattern(std::uint8_t seed, std::uint32_t from, std::uint32_t n) {
    std::vector<std::uint8_t> v(n);
    for (std::uint32_t i = from; i < from + n; ++i)
        v[i - from] = static_cast<std::uint8_t>(seed + i * 7 + (i >> 8));
    return v;
}

inline constexpr std::uint8_t kUbootSeed = 0x11;   // all of uboot
inline constexpr std::uint8_t kRfsSeed = 0x44;     // all of rfs
inline constexpr std::uint8_t kRescueSeed = 0x55;  // first 128 KiB of rescue

// The VPD EEPROM: bytes 0..63 pattern kVpdSeed, boot slot 2, booted image 1,
// USB boot on; everything else 0xFF.
inline constexpr std::uint8_t kVpdSeed = 0x21;
inline constexpr std::uint32_t kVpdFilled = 64;

}  // namespace kernel_stage
