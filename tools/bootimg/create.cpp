// bootimg create: a container from payload files.
#include <algorithm>
#include <filesystem>
#include <vector>

#include "commands.hpp"
#include "files.hpp"
#include "sign.hpp"
#include "image/container.hpp"
#include "image/section_writer.hpp"

namespace bootimg {

namespace {

struct SectionRequest {
    image::SectionLayout layout;
    std::string path;
};

std::uint32_t parse_type(std::string_view text) {
    if (const image::TypeInfo* t = image::find_type(text)) return image::code(t->type);
    const auto n = parse_number(text);
    if (!n) throw UsageError{"unknown image type '" + std::string(text) + "'"};
    // Bit 31 of magic tells the header form, which --hdr-len chooses.
    if (*n > image::kTypeMask)
        throw UsageError{"type code '" + std::string(text) + "' is above 0x7fffffff"};
    return static_cast<std::uint32_t>(*n);
}

std::uint16_t parse_hdr_len(std::string_view text) {
    const auto n = parse_number(text);
    if (!n || *n < image::kHeaderProbeSize || *n > 0xFFFF)
        throw UsageError{"--hdr-len must be 20 to 65535, not '" + std::string(text) + "'"};
    return static_cast<std::uint16_t>(*n);
}

// Checks one payload against what the switch will accept; false after
// complaining when the section must not be written.
bool payload_acceptable(const SectionRequest& r, std::span<const std::uint8_t> payload, bool force,
                        const Io& io) {
    const std::uint32_t header_size = r.layout.hdr_len ? r.layout.hdr_len : image::kBasicHeaderSize;
    if (payload.size() > image::kMaxSectionPayload) {
        complain(io, "create", "%s: %zu bytes do not fit a section (at most %llu)", r.path.c_str(),
                 payload.size(), static_cast<unsigned long long>(image::kMaxSectionPayload));
        return false;
    }
    const auto len = static_cast<std::uint32_t>(payload.size());
    if (r.layout.boot_loader_copy && len < image::kBootLoaderCopyOffset + image::kHeaderCopySize) {
        complain(io, "create",
                 "%s: a boot loader payload must be at least %u bytes to carry its header copy "
                 "at offset %u; this one is %u bytes",
                 r.path.c_str(), image::kBootLoaderCopyOffset + image::kHeaderCopySize,
                 image::kBootLoaderCopyOffset, len);
        return false;
    }
    if (const image::TypeInfo* t = image::find_type(r.layout.magic_type); t && t->limit != 0) {
        const std::uint32_t value = t->limit_on_payload ? len : header_size + len;
        if (value > t->limit) {
            complain(io, "create", "%s: %s %s %u (0x%x) is above the switch's limit of %u (0x%x)%s",
                     r.path.c_str(), std::string(t->name).c_str(),
                     t->limit_on_payload ? "payload length" : "section size", value, value,
                     t->limit, t->limit, force ? "; written anyway (--force)" : "");
            if (!force) return false;
        }
    } else if (!t) {
        complain(io, "create",
                 "note: %s: type code 0x%08x is not one the switch knows; it will "
                 "skip the section",
                 r.path.c_str(), r.layout.magic_type);
    }
    return true;
}

// The header copy overwrites payload bytes 240 to 255. Blank bytes there, or
// a copy already in place (a payload taken out of a container), are expected;
// anything else may be boot loader code, so say so.
void note_replaced_bytes(const SectionRequest& r, std::span<const std::uint8_t> payload,
                         std::span<const std::uint8_t> section, const Io& io) {
    const std::uint32_t header_size = r.layout.hdr_len ? r.layout.hdr_len : image::kBasicHeaderSize;
    const auto before = payload.subspan(image::kBootLoaderCopyOffset, image::kHeaderCopySize);
    const auto after =
        section.subspan(header_size + image::kBootLoaderCopyOffset, image::kHeaderCopySize);
    const bool blank =
        std::all_of(before.begin(), before.end(), [](std::uint8_t b) { return b == 0; });
    if (blank || std::equal(before.begin(), before.end(), after.begin())) return;
    complain(io, "create",
             "note: %s: bytes %u to %u of the boot loader were replaced by its header copy",
             r.path.c_str(), image::kBootLoaderCopyOffset,
             image::kBootLoaderCopyOffset + image::kHeaderCopySize - 1);
}

}  // namespace

int run_create(Args args, const Io& io) {
    std::string out_path;
    bool force = false;
    std::vector<SectionRequest> requests;
    SignRequest sign;
    SignOptions sign_seen;
    // Options gathered for the section whose FILE has not come yet.
    image::SectionLayout layout;
    bool have_type = false, have_id = false, have_hdr_len = false;
    auto once = [](bool& seen, const char* option) {
        if (seen)
            throw UsageError{std::string("create: ") + option + " given twice for one section"};
        seen = true;
    };

    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view a = args[i];
        std::string_view v;
        if (option_value(args, i, "-o", v) || option_value(args, i, "--output", v)) {
            out_path = v;
        } else if (a == "--force") {
            force = true;
        } else if (option_value(args, i, "--sign", v)) {
            sign_seen.key = std::string(v);
        } else if (a != "--key" && a.substr(0, 6) != "--key=" &&
                   sign_option(args, i, sign, sign_seen)) {
            continue;
        } else if (option_value(args, i, "--type", v)) {
            once(have_type, "--type");
            layout.magic_type = parse_type(v);
        } else if (option_value(args, i, "--version", v)) {
            once(have_id, "--version");
            const auto id = image::parse_version(v);
            if (!id) throw UsageError{"version '" + std::string(v) + "' is not A.B.C.D (0 to 255)"};
            layout.id = *id;
        } else if (option_value(args, i, "--hdr-len", v)) {
            once(have_hdr_len, "--hdr-len");
            layout.hdr_len = parse_hdr_len(v);
        } else if (a.size() > 1 && a[0] == '-') {
            throw UsageError{"create: unknown option '" + std::string(a) + "'"};
        } else {
            if (!have_type || !have_id)
                throw UsageError{"create: " + std::string(a) +
                                 " needs --type and --version before it"};
            layout.boot_loader_copy =
                layout.magic_type == image::code(image::ImageType::BootLoader);
            requests.push_back({layout, std::string(a)});
            layout = {};
            have_type = have_id = have_hdr_len = false;
        }
    }
    const bool pending = have_type || have_id || have_hdr_len;
    if (pending) throw UsageError{"create: section options after the last FILE"};
    if (out_path.empty()) throw UsageError{"create: -o OUT is required"};
    if (requests.empty()) throw UsageError{"create: no section given"};
    const bool sign_it = !sign_seen.key.empty() || sign_seen.counter || !sign_seen.public_key.empty();
    if (sign_it) {
        if (!sign_seen.public_key.empty() || !sign.to_sign.empty() || !sign_seen.signature.empty())
            throw UsageError{"create: --sign KEY signs; for another signer, create, then sign"};
        if (sign_seen.key.empty()) throw UsageError{"create: --counter needs --sign KEY"};
        sign.output = out_path;
        if (!complete_sign_request(sign, sign_seen, io, "create")) return 1;
    }

    std::vector<std::uint8_t> container;
    std::size_t last_start = 0;
    for (const SectionRequest& r : requests) {
        last_start = container.size();
        // Too big a payload is refused before it is read into memory.
        std::error_code size_error;
        const std::uintmax_t size = std::filesystem::file_size(r.path, size_error);
        if (!size_error && size > image::kMaxSectionPayload) {
            complain(io, "create", "%s: %ju bytes do not fit a section (at most %llu); %s not written",
                     r.path.c_str(), size, static_cast<unsigned long long>(image::kMaxSectionPayload),
                     out_path.c_str());
            return 1;
        }
        std::vector<std::uint8_t> payload;
        std::string error;
        if (!read_whole_file(r.path, payload, error)) {
            complain(io, "create", "%s", error.c_str());
            return 1;
        }
        if (!payload_acceptable(r, payload, force, io)) {
            complain(io, "create", "%s not written", out_path.c_str());
            return 1;
        }
        const std::vector<std::uint8_t> section = image::build_section(r.layout, payload);
        if (r.layout.boot_loader_copy) note_replaced_bytes(r, payload, section, io);
        container.insert(container.end(), section.begin(), section.end());
    }
    // Readers take 20 bytes at every section start, so a shorter section at
    // the very end (a basic header with under 4 payload bytes) would never be
    // seen by the switch.
    const std::size_t last_size = container.size() - last_start;
    if (last_size < image::kHeaderProbeSize) {
        complain(io, "create",
                 "%s: the last section would be %zu bytes, fewer than the %u the switch reads at "
                 "a section start, and would not be seen; give it at least %zu more payload "
                 "bytes or an extended header; %s not written",
                 requests.back().path.c_str(), last_size, image::kHeaderProbeSize,
                 image::kHeaderProbeSize - last_size, out_path.c_str());
        return 1;
    }
    if (sign_it && !sign_container(container, sign, io, "create")) return 1;
    std::string error;
    if (!write_file_atomically(out_path, container, error)) {
        complain(io, "create", "%s", error.c_str());
        return 1;
    }
    std::fprintf(io.out, "%s: %zu section%s, %zu bytes%s\n", out_path.c_str(), requests.size(),
                 requests.size() == 1 ? "" : "s", container.size(),
                 sign_it ? ", signed" : "");
    return 0;
}

}  // namespace bootimg
