#include "image/section_writer.hpp"

#include <algorithm>
#include <stdexcept>

#include "common/bytes.hpp"
#include "image/container.hpp"
#include "image/crc.hpp"

namespace image {

std::vector<std::uint8_t> build_section(const SectionLayout& layout,
                                        std::span<const std::uint8_t> payload) {
    const bool extended = layout.hdr_len != 0;
    // An extended header shorter than the 20 bytes every reader takes first
    // would not even hold its own hdr_len field.
    if (extended && layout.hdr_len < kHeaderProbeSize)
        throw std::invalid_argument("extended header shorter than 20 bytes");
    if (payload.size() > kMaxSectionPayload)
        throw std::invalid_argument("payload too large for a 32-bit section length");
    if (layout.boot_loader_copy && payload.size() < kBootLoaderCopyOffset + kHeaderCopySize)
        throw std::invalid_argument("boot loader payload too short for its header copy");
    const std::uint32_t header_size = extended ? layout.hdr_len : kBasicHeaderSize;
    const auto len = static_cast<std::uint32_t>(payload.size());
    const std::uint32_t magic = (layout.magic_type & kTypeMask) | (extended ? kExtendedFlag : 0);

    std::vector<std::uint8_t> out(header_size + payload.size(), 0);
    std::span<std::uint8_t> s(out);
    bytes::store_be32(s.subspan(4), len);
    bytes::store_be32(s.subspan(8), magic);
    bytes::store_be32(s.subspan(12), layout.id);
    if (extended) bytes::store_be16(s.subspan(18), layout.hdr_len);
    std::copy(payload.begin(), payload.end(), out.begin() + header_size);

    if (layout.boot_loader_copy) {
        auto copy = s.subspan(header_size + kBootLoaderCopyOffset, kHeaderCopySize);
        bytes::store_be32(copy.subspan(0), 0);
        bytes::store_be32(copy.subspan(4), len);
        bytes::store_be32(copy.subspan(8), magic);
        bytes::store_be32(copy.subspan(12), layout.id);
    }
    bytes::store_be32(s.subspan(0), crc_of(s.subspan(4)));
    return out;
}

}  // namespace image
