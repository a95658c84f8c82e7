#include "image/container.hpp"

#include <array>
#include <charconv>
#include <cstdio>

#include "common/bytes.hpp"

namespace image {

namespace {

constexpr std::array<TypeInfo, 6> kTypes{{
    {ImageType::Application, "app", "APPLICATION", 0, false},
    {ImageType::BootLoader, "uboot", "UBOOT", 0x80000, true},
    {ImageType::Kernel, "kernel", "KERNEL", 0x300000, false},
    {ImageType::RootFs, "rfs", "RFS", 0xF00000, false},
    {ImageType::DeviceTree, "dtb", "DFT", 0x40000, false},
    {ImageType::Diagnostics, "diags", "DIAGS", 0xA00000, false},
}};

}  // namespace

SectionHeader decode_header(std::span<const std::uint8_t, kHeaderProbeSize> p) {
    SectionHeader h;
    h.crc = bytes::load_be32(p.subspan(0, 4));
    h.len = bytes::load_be32(p.subspan(4, 4));
    h.magic = bytes::load_be32(p.subspan(8, 4));
    h.id = bytes::load_be32(p.subspan(12, 4));
    h.hdr_len = bytes::load_be16(p.subspan(18, 2));
    return h;
}

SectionGeometry section_geometry(const SectionHeader& h) {
    if (h.extended()) return {static_cast<std::uint32_t>(h.hdr_len + h.len), h.hdr_len};
    return {h.len + kBasicHeaderSize, kBasicHeaderSize};
}

bool section_consistent(const SectionHeader& h) {
    if (h.extended() && h.hdr_len < kHeaderProbeSize) return false;
    const SectionGeometry g = section_geometry(h);
    // With no wrap-around the payload ends exactly at the section's end.
    return g.size >= g.payload_offset && g.size - g.payload_offset == h.len && g.size >= 4;
}

bool section_advances(const SectionHeader& h) {
    const std::uint32_t size = section_geometry(h).size;
    return size != 0 && size >= (h.extended() ? h.hdr_len : kBasicHeaderSize);
}

bool is_bootable_type(std::uint32_t type) {
    return type == code(ImageType::Application) || type == code(ImageType::Diagnostics);
}

const TypeInfo* find_type(std::uint32_t type_code) {
    for (const auto& t : kTypes)
        if (code(t.type) == type_code) return &t;
    return nullptr;
}

const TypeInfo* find_type(std::string_view name) {
    for (const auto& t : kTypes)
        if (t.name == name) return &t;
    return nullptr;
}

std::span<const TypeInfo> all_types() {
    return kTypes;
}

std::string format_version(std::uint32_t id) {
    char text[32];
    std::snprintf(text, sizeof text, "%d.%d.%d.%d", static_cast<int>(id >> 24),
                  static_cast<int>((id >> 16) & 0xFF), static_cast<int>((id >> 8) & 0xFF),
                  static_cast<int>(id & 0xFF));
    return text;
}

std::optional<std::uint32_t> parse_version(std::string_view text) {
    std::uint32_t id = 0;
    const char* p = text.data();
    const char* end = text.data() + text.size();
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (p == end || *p != '.') return std::nullopt;
            ++p;
        }
        unsigned value = 0;
        auto [next, ec] = std::from_chars(p, end, value);
        if (ec != std::errc{} || next == p || value > 255) return std::nullopt;
        id = (id << 8) | value;
        p = next;
    }
    if (p != end) return std::nullopt;
    return id;
}

}  // namespace image
