// How the MTD character device of a NOR partition answers requests at its
// edges. One table for both peers: the kernel stage checks it against the
// e500v2 kernel's drivers, the simulator's tests against the simulated flash,
// so the simulator cannot drift from the kernel unnoticed.
#pragma once

#include <cerrno>
#include <cstdint>
#include <ostream>

namespace mtd_answers {

inline constexpr std::uint32_t kBlock = 0x10000;  // the switch's erase block

struct EraseCase {
    const char* name;       // reads as a sentence after "MEMERASE: "
    bool from_end;          // start counted back from the partition's end
    std::uint32_t start;
    std::uint32_t length;
    int error;              // 0: the request succeeds
    bool erases;            // the range reads back as 0xFF afterwards

    std::uint32_t start_in(std::uint32_t partition_size) const {
        return from_end ? partition_size - start : start;
    }
};

// A case lists under its name (gtest finds this beside the type).
inline void PrintTo(const EraseCase& c, std::ostream* os) {
    *os << c.name;
}

// The partition must have at least 4 blocks.
inline constexpr EraseCase kEraseCases[] = {
    {"a_whole_block_is_erased", false, 2 * kBlock, kBlock, 0, true},
    {"two_whole_blocks_are_erased", false, kBlock, 2 * kBlock, 0, true},
    {"the_last_block_is_erased", true, kBlock, kBlock, 0, true},
    {"a_start_inside_a_block_is_refused", false, 2 * kBlock + 512, kBlock, EINVAL, false},
    {"a_length_of_part_of_a_block_is_refused", false, 2 * kBlock, kBlock / 2, EINVAL, false},
    {"a_length_of_a_block_and_a_bit_is_refused", false, 0, kBlock + 1024, EINVAL, false},
    {"a_range_past_the_end_is_refused", true, kBlock, 2 * kBlock, EINVAL, false},
    {"a_start_at_the_end_is_refused", true, 0, kBlock, EINVAL, false},
    {"a_range_that_wraps_past_4_GiB_is_refused", false, 0xFFFF0000u, 0x20000u, EINVAL, false},
    {"a_length_of_zero_inside_the_partition_does_nothing", false, 2 * kBlock, 0, 0, false},
    {"a_length_of_zero_off_a_block_boundary_does_nothing", false, 2 * kBlock + 256, 0, 0, false},
    {"a_length_of_zero_at_the_end_is_refused", true, 0, 0, EINVAL, false},
};

}  // namespace mtd_answers
