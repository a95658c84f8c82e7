// Explicit byte-order helpers. The image container and the EEPROM protocol are
// big-endian on the wire; the code must give the same answers on the
// big-endian switch and on an x86-64 PC, so nothing is read through a cast.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace bytes {

inline std::uint16_t load_be16(std::span<const std::uint8_t> p) {
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

inline std::uint32_t load_be32(std::span<const std::uint8_t> p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}

inline std::uint32_t load_le32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
           (std::uint32_t{p[3]} << 24);
}

inline void store_be16(std::span<std::uint8_t> p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}

inline void store_be32(std::span<std::uint8_t> p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}

}  // namespace bytes
