// CRC-32 of image container sections.
//
// The switch's containers carry the reflected IEEE 802.3 CRC-32 with the
// register started at 0xFFFFFFFF and *no* final inversion, so a stored value
// is the bitwise complement of the usual CRC-32 of the same bytes.
#pragma once

#include <cstdint>
#include <span>

std::uint32_t gen_crc(const std::uint8_t* data, std::uint32_t length, std::uint32_t init);

// 0 when gen_crc(data, length, 0xFFFFFFFF) equals expected, 1 otherwise.
int CheckCrc(const std::uint8_t* data, std::uint32_t length, std::uint32_t expected);

// Prints the first four header words when verbose is set; nothing otherwise.
void display_header(const std::uint8_t* header, int verbose);

std::uint32_t swapw(std::uint32_t word);

namespace image {

inline constexpr std::uint32_t kCrcInit = 0xFFFFFFFFu;

inline std::uint32_t crc_of(std::span<const std::uint8_t> bytes) {
    return gen_crc(bytes.data(), static_cast<std::uint32_t>(bytes.size()), kCrcInit);
}

// The plain bit-at-a-time definition; the reference the fast path is held to.
std::uint32_t gen_crc_bitwise(const std::uint8_t* data, std::uint32_t length, std::uint32_t init);

}  // namespace image
