// Producing container sections: used by the host tools and the tests, never
// by the switch itself.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace image {

struct SectionLayout {
    std::uint32_t magic_type = 0;  // image type code, extended flag clear
    std::uint32_t id = 0;          // version a.b.c.d
    std::uint16_t hdr_len = 0;     // 0: basic 16-byte header; else extended, >= 20
    // Boot loaders carry a copy of their header at payload offset 240 (the
    // copy's crc word is left zero: only len, magic and id are compared).
    bool boot_loader_copy = false;
};

// The largest payload a section carries under any header (up to 65535
// bytes), so that its size stays a 32-bit number.
inline constexpr std::uint64_t kMaxSectionPayload = 0xFFFFFFFFu - 0xFFFFu;

// One complete section: header, payload, and the crc of bytes 4 to the end.
// Throws std::invalid_argument for a section no reader could take: an
// extended header under 20 bytes, a payload over kMaxSectionPayload, or a boot loader
// payload too short to carry its header copy.
std::vector<std::uint8_t> build_section(const SectionLayout& layout,
                                        std::span<const std::uint8_t> payload);

}  // namespace image
