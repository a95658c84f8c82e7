// The image container: sections laid back to back, each a big-endian section
// header followed by its payload. Type codes, size limits and the places of
// the stored header copies are defined here once.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace image {

enum class ImageType : std::uint32_t {
    Application = 0x01504754,
    BootLoader = 0x02504754,
    Kernel = 0x03504754,
    RootFs = 0x04504754,
    DeviceTree = 0x05504754,
    Diagnostics = 0x06504754,
};

inline constexpr std::uint32_t kExtendedFlag = 0x80000000u;
inline constexpr std::uint32_t kTypeMask = 0x7FFFFFFFu;
// Every reader takes this much at a section start before it knows the form.
inline constexpr std::uint32_t kHeaderProbeSize = 20;
inline constexpr std::uint32_t kBasicHeaderSize = 16;
inline constexpr std::uint32_t kHeaderCopySize = 16;
// A boot loader is written without its section header, so its payload carries
// a copy of that header here; it lands at the same offset of the partition.
inline constexpr std::uint32_t kBootLoaderCopyOffset = 240;

inline constexpr std::uint32_t code(ImageType t) {
    return static_cast<std::uint32_t>(t);
}

struct SectionHeader {
    std::uint32_t crc = 0;
    std::uint32_t len = 0;
    std::uint32_t magic = 0;
    std::uint32_t id = 0;
    std::uint16_t hdr_len = 0;  // meaningful only for an extended header

    bool extended() const { return (magic & kExtendedFlag) != 0; }
    std::uint32_t type() const { return magic & kTypeMask; }
};

// Decodes the first 20 bytes of a section (for a basic header, bytes 16..19
// are payload and hdr_len is then meaningless).
SectionHeader decode_header(std::span<const std::uint8_t, kHeaderProbeSize> probe);

// Section size and payload offset in the format's own unsigned 32-bit
// arithmetic; a hostile header can make them wrap, see section_consistent.
struct SectionGeometry {
    std::uint32_t size = 0;
    std::uint32_t payload_offset = 0;
};
SectionGeometry section_geometry(const SectionHeader& h);

// True when the header describes a section whose payload lies inside the
// section: an extended header at least 20 bytes long and no 32-bit
// wrap-around in the size. Callers refuse an inconsistent section exactly as
// one that fails its checksum.
bool section_consistent(const SectionHeader& h);

// True when the section's size covers at least its own header, so that a
// walk over the container moves forward past it. A size of 0 (an extended
// header with hdr_len and len 0) or one that wraps around 32 bits does not.
bool section_advances(const SectionHeader& h);

// True when a section of `size` bytes starting at `start` lies wholly inside
// `available` bytes, written so that it cannot overflow.
inline bool fits(std::uint64_t start, std::uint64_t size, std::uint64_t available) {
    return start <= available && size <= available - start;
}

bool is_bootable_type(std::uint32_t type);

// What the installer knows of each type: its name on the console and in the
// host tool, and the size limit (on the whole section, or on the payload
// alone for the boot loader).
struct TypeInfo {
    ImageType type;
    std::string_view name;   // short name used by the host tool
    std::string_view label;  // the installer's word for it
    std::uint32_t limit;     // 0: no limit
    bool limit_on_payload;
};
const TypeInfo* find_type(std::uint32_t type_code);
const TypeInfo* find_type(std::string_view name);
std::span<const TypeInfo> all_types();

// "%d.%d.%d.%d", byte 12 of the header first.
std::string format_version(std::uint32_t id);
std::optional<std::uint32_t> parse_version(std::string_view text);

}  // namespace image
