// Walking a container the way the switch's readers do, and judging each
// section by the tests the switch applies before it installs or boots it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "image/container.hpp"
#include "image/manifest.hpp"

namespace bootimg {

inline constexpr std::uint32_t kManifestTypeCode = manifest::kSectionType;

struct SectionReport {
    std::size_t index = 0;
    std::uint64_t offset = 0;  // of the section's first byte in the file
    image::SectionHeader header;
    image::SectionGeometry geometry;
    const image::TypeInfo* type = nullptr;  // null: a code the switch does not know
    bool consistent = false;                // header describes a well-formed section
    bool within_file = false;               // all of its bytes lie inside the file
    // gen_crc of bytes 4 to the end; only computed when the whole section
    // could be read.
    std::optional<std::uint32_t> computed_crc;
    // What keeps the switch from taking this section, one line each.
    std::vector<std::string> problems;
    // Worth knowing, but the switch copes (it skips unknown types).
    std::vector<std::string> notes;

    bool readable() const { return consistent && within_file; }
    bool intact() const { return readable() && computed_crc == header.crc; }
    std::uint32_t header_length() const { return geometry.payload_offset; }
};

struct ContainerReport {
    std::uint64_t file_size = 0;
    std::vector<SectionReport> sections;
    // Bytes at the end of the file too few for a section start (the switch
    // stops reading there). Zero when the sections end exactly at the end.
    std::uint64_t trailing_offset = 0;
    std::uint64_t trailing_bytes = 0;
    // Problems of the container as a whole, already located in their text.
    std::vector<std::string> problems;

    bool ok() const;
};

// Reads sections back to back from byte 0 until fewer than 20 bytes remain,
// or until a section whose end cannot be trusted (inconsistent header,
// running past the end of the file): nothing after it can be located.
// Never reads outside `file`.
ContainerReport examine(std::span<const std::uint8_t> file);

// "section 2 at offset 276 (0x114)": how every message locates a section.
std::string where(std::size_t index, std::uint64_t offset);

}  // namespace bootimg
