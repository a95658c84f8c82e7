#include "examine.hpp"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "common/bytes.hpp"
#include "image/crc.hpp"
#include "text.hpp"

namespace bootimg {

std::string format(const char* fmt, ...) {
    char text[512];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    return text;
}

std::string where(std::size_t index, std::uint64_t offset) {
    return format("section %zu at offset %llu (0x%llx)", index,
                  static_cast<unsigned long long>(offset), static_cast<unsigned long long>(offset));
}

namespace {

using image::kBootLoaderCopyOffset;
using image::kHeaderCopySize;

// The installer refuses a section whose compared value is above the limit of
// its type; a value equal to the limit is accepted.
void check_size_limit(SectionReport& s) {
    const image::TypeInfo& t = *s.type;
    if (t.limit == 0) return;
    const std::uint32_t value = t.limit_on_payload ? s.header.len : s.geometry.size;
    if (value <= t.limit) return;
    s.problems.push_back(format("%.*s %s %u (0x%x) is above the switch's limit of %u (0x%x)",
                                static_cast<int>(t.label.size()), t.label.data(),
                                t.limit_on_payload ? "payload length" : "section size", value,
                                value, t.limit, t.limit));
}

// A boot loader reaches its partition without its section header; the copy
// inside its payload is what the same-version test and the version display
// read afterwards. Only len, magic and id of the copy count.
void check_boot_loader_copy(SectionReport& s, std::span<const std::uint8_t> section) {
    const std::uint32_t len = s.header.len;
    if (len < kBootLoaderCopyOffset + kHeaderCopySize) {
        s.problems.push_back(
            format("boot loader payload of %u bytes is too short to carry its header copy at "
                   "payload offset %u",
                   len, kBootLoaderCopyOffset));
        return;
    }
    const auto copy = section.subspan(s.geometry.payload_offset + kBootLoaderCopyOffset + 4, 12);
    const auto own = section.subspan(4, 12);
    if (std::equal(copy.begin(), copy.end(), own.begin())) return;
    if (std::all_of(copy.begin(), copy.end(), [](std::uint8_t b) { return b == 0; })) {
        s.problems.push_back(
            format("boot loader header copy at payload offset %u is missing "
                   "(its len, magic and id are zero)",
                   kBootLoaderCopyOffset));
        return;
    }
    const std::uint32_t copy_id = bytes::load_be32(copy.subspan(8));
    s.problems.push_back(format(
        "boot loader header copy at payload offset %u does not match the header: copy has len "
        "0x%08x magic 0x%08x id %s, header has len 0x%08x magic 0x%08x id %s",
        kBootLoaderCopyOffset, bytes::load_be32(copy.subspan(0)), bytes::load_be32(copy.subspan(4)),
        image::format_version(copy_id).c_str(), s.header.len, s.header.magic,
        image::format_version(s.header.id).c_str()));
}

SectionReport examine_section(std::span<const std::uint8_t> file, std::size_t index,
                              std::uint64_t offset) {
    SectionReport s;
    s.index = index;
    s.offset = offset;
    s.header = image::decode_header(
        file.subspan(static_cast<std::size_t>(offset)).first<image::kHeaderProbeSize>());
    s.geometry = image::section_geometry(s.header);
    s.type = image::find_type(s.header.type());
    const image::SectionHeader& h = s.header;

    s.consistent = image::section_consistent(h);
    if (!s.consistent) {
        if (h.extended() && h.hdr_len < image::kHeaderProbeSize)
            s.problems.push_back(
                format("inconsistent: extended header length %u is below the %u "
                       "bytes every reader takes first",
                       h.hdr_len, image::kHeaderProbeSize));
        else
            s.problems.push_back(
                format("inconsistent: len 0x%08x behind a %u-byte header wraps "
                       "the 32-bit section size",
                       h.len, s.geometry.payload_offset));
        return s;
    }
    s.within_file = image::fits(offset, s.geometry.size, file.size());
    if (!s.within_file) {
        s.problems.push_back(
            format("truncated: the section is %u bytes but only %llu are left "
                   "in the file",
                   s.geometry.size, static_cast<unsigned long long>(file.size() - offset)));
        return s;
    }

    const auto section = file.subspan(static_cast<std::size_t>(offset), s.geometry.size);
    s.computed_crc = image::crc_of(section.subspan(4));
    if (*s.computed_crc != h.crc)
        s.problems.push_back(
            format("bad crc: stored 0x%08x, computed 0x%08x", h.crc, *s.computed_crc));

    if (h.type() == kManifestTypeCode) {
        s.notes.push_back(
            "signed manifest: a switch that holds a key checks it; others skip it");
        return s;
    }
    if (!s.type) {
        s.notes.push_back(
            format("unknown type code 0x%08x: the switch skips this section", h.type()));
        return s;
    }
    check_size_limit(s);
    if (s.type->type == image::ImageType::BootLoader) check_boot_loader_copy(s, section);
    return s;
}

}  // namespace

bool ContainerReport::ok() const {
    return problems.empty() && std::all_of(sections.begin(), sections.end(),
                                           [](const auto& s) { return s.problems.empty(); });
}

ContainerReport examine(std::span<const std::uint8_t> file) {
    ContainerReport r;
    r.file_size = file.size();
    std::uint64_t offset = 0;
    for (;;) {
        const std::uint64_t left = file.size() - offset;
        if (left < image::kHeaderProbeSize) {
            r.trailing_offset = offset;
            r.trailing_bytes = left;
            if (r.sections.empty())
                r.problems.push_back(
                    format("no section: the file holds %llu bytes, fewer than "
                           "the %u read at a section start",
                           static_cast<unsigned long long>(left), image::kHeaderProbeSize));
            else if (left > 0)
                r.problems.push_back(where(r.sections.size(), offset) +
                                     format(": %llu trailing bytes, too few for a section "
                                            "header (%u bytes are read at a section start)",
                                            static_cast<unsigned long long>(left),
                                            image::kHeaderProbeSize));
            break;
        }
        r.sections.push_back(examine_section(file, r.sections.size(), offset));
        const SectionReport& s = r.sections.back();
        if (!s.readable()) break;
        offset += s.geometry.size;
    }
    return r;
}

}  // namespace bootimg
