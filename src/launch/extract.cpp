#include "launch/extract.hpp"

#include <cstring>
#include <memory>
#include <new>

#include "common/unique_fd.hpp"
#include "hw/i2c.hpp"
#include "image/crc.hpp"
#include "image/signature.hpp"
#include "launch/boot_state.hpp"
#include "launch/launch.hpp"
#include "launch/recovery.hpp"
#include "launch/settings.hpp"
#include "launch/startup.hpp"
#include "mgmt/netinstall.hpp"
#include "rescue/rescue.hpp"
#include "usb/usb_boot.hpp"

std::uint8_t tried_alt_image = 0;

namespace {

using common::UniqueFile;

[[noreturn]] void shell_ending() {
    if (shell_enable) startup::run_shell("/bin/sh\n");
    board_reset();
}

[[noreturn]] void rescue_ending() {
    run_rescue_mode();
    shell_ending();
}

// Neither slot holds an image that can boot. With zero-touch install on, the
// switch looks for an installer on the management network first (and keeps
// trying behind the rescue menu, which it then always offers); otherwise
// the menu, or for two damaged images the shell or a reboot, as ever.
[[noreturn]] void no_image_ending(bool menu) {
    if (netinstall::zero_touch_start() || menu) rescue_ending();
    shell_ending();
}

// Bytes from the stream's current position to its end.
std::uint64_t remaining(std::FILE* f) {
    const long here = std::ftell(f);
    if (here < 0 || std::fseek(f, 0, SEEK_END) != 0) return 0;
    const long end = std::ftell(f);
    std::fseek(f, here, SEEK_SET);
    return end > here ? static_cast<std::uint64_t>(end - here) : 0;
}

// Reads the whole section at the stream's position and checks it. Returns
// the section, or nothing when it is damaged: a failed checksum, and also a
// section whose stated size is inconsistent or runs past the end of the
// file (bytes the file cannot supply never count as data).
std::unique_ptr<std::uint8_t[]> read_checked_section(std::FILE* in, const image::SectionHeader& h) {
    const image::SectionGeometry g = image::section_geometry(h);
    if (!image::section_consistent(h) || !image::fits(0, g.size, remaining(in))) return nullptr;
    std::unique_ptr<std::uint8_t[]> section(new (std::nothrow) std::uint8_t[g.size]);
    if (!section) return nullptr;
    if (std::fread(section.get(), 1, g.size, in) != g.size) return nullptr;
    if (CheckCrc(section.get() + 4, g.size - 4, h.crc) != 0) return nullptr;
    return section;
}

}  // namespace

int parse_image(std::FILE* stream, std::uint8_t header[image::kHeaderProbeSize]) {
    std::uint64_t offset = 0;
    std::uint8_t probe[image::kHeaderProbeSize];
    std::memset(header, 0, image::kHeaderProbeSize);
    for (;;) {
        if (std::fread(probe, 1, sizeof probe, stream) != sizeof probe) return 0;
        std::memcpy(header, probe, sizeof probe);
        const image::SectionHeader h = image::decode_header(probe);
        if (image::is_bootable_type(h.type())) {
            std::fseek(stream, static_cast<long>(offset), SEEK_SET);
            return 1;
        }
        // The scan must always move forward: a size of 0, or one that wraps
        // around 32 bits, ends it as if the file held nothing usable.
        if (!image::section_advances(h)) return 0;
        offset += image::section_geometry(h).size;
        if (offset > 0x7FFFFFFFu || std::fseek(stream, static_cast<long>(offset), SEEK_SET) != 0)
            return 0;
    }
}

extract::Unpacked extract::unpack(std::FILE* in, std::FILE* out,
                                  std::uint8_t header[image::kHeaderProbeSize],
                                  const signing::Result* signed_by) {
    if (!parse_image(in, header)) return Unpacked::NoSection;
    const off_t pos = ftello(in);
    const image::SectionHeader h = image::decode_header(
        std::span<const std::uint8_t, image::kHeaderProbeSize>(header, image::kHeaderProbeSize));
    std::unique_ptr<std::uint8_t[]> section = read_checked_section(in, h);
    if (!section) return Unpacked::Damaged;
    const image::SectionGeometry g = image::section_geometry(h);
    if (signed_by &&
        (pos < 0 || !signing::section_signed(*signed_by, static_cast<std::uint64_t>(pos),
                                             std::span(section.get(), g.size))))
        return Unpacked::Unsigned;
    std::fwrite(section.get() + g.payload_offset, 1, h.len, out);
    return Unpacked::Written;
}

int extract_image(int code) {
    const char* path = nullptr;
    if (code == 1 || code == 2) {
        path = extract::kSlotPaths[code];
    } else if (code == usb::kBootFromStick) {
        path = usb::kStickImage;
    } else {
        return 0;
    }
    const int alt = startup::alternate_slot(code);
    // The slot whose image actually boots: the other one when the requested
    // file does not open. The booted-image record and the debugger fetch go
    // by it; the console messages keep naming the requested slot.
    int booted = code;

    UniqueFile in(std::fopen(path, "rb"));
    if (!in && code != usb::kBootFromStick) {
        std::fprintf(stderr, "Failed to open Application image %d. Trying image %d.\n", code, alt);
        in.reset(std::fopen(extract::kSlotPaths[alt], "rb"));
        if (!in) {
            std::fprintf(stderr, "Failed to open Application image %d.\n", alt);
            no_image_ending(true);
        }
        booted = alt;
    } else if (!in) {
        std::fprintf(stderr, "Failed to open application image from USB.\n");
        return 0;
    }
    // A switch with a key boots from a stick only an image signed for it;
    // one it refuses does not go on the rejected list either.
    signing::Result signed_by;
    const bool checked = code == usb::kBootFromStick && signing::required();
    if (checked) {
        if (!signing::admit(in.get(), &signed_by)) return 0;
        std::rewind(in.get());
    }
    if (code == usb::kBootFromStick) {
        if (!usb_is_image_rejected(path)) {
            // Listed before it is tried: an image that hangs the switch is
            // not booted again without asking.
            usb_add_image_to_reject_list(path);
        } else {
            if (!yesno_question(
                    "USB image is in rejected list.\nWould you still like to load it? "))
                return 0;
            std::puts("Continuing to load USB image...");
        }
    }

    UniqueFile out(std::fopen(extract::kArchive, "wb"));
    if (!out) {
        std::fprintf(stderr, "Failed to open application image output file.\n");
        in.reset();
        shell_ending();
    }

    std::uint8_t raw[image::kHeaderProbeSize];
    const extract::Unpacked result =
        extract::unpack(in.get(), out.get(), raw, checked ? &signed_by : nullptr);
    in.reset();
    out.reset();
    if (result == extract::Unpacked::Unsigned) {
        std::fprintf(stderr, "Refused: the USB image changed after its signature was checked\n");
        std::remove(extract::kArchive);
        return 0;
    }
    if (result == extract::Unpacked::NoSection) {
        if (code == usb::kBootFromStick) {
            std::fprintf(stderr, "Error: USB image corrupted or belongs to another switch type.\n");
            return 0;
        }
        if (tried_alt_image) {
            std::fprintf(stderr, "No valid application image found. Trying rescue image\n");
            no_image_ending(true);
        }
        std::fprintf(stderr, "Image has invalid header 0x%x. (0x%x)\n",
                     image::decode_header(raw).magic, image::code(image::ImageType::Diagnostics));
        std::fprintf(stderr, "Image%d has invalid header... trying Image%d.\n", code, alt);
        return 0;
    }
    if (result == extract::Unpacked::Damaged) {
        if (code == usb::kBootFromStick) {
            std::fprintf(stderr, "USB image CRC failed.");
            return 0;
        }
        bootstate::checksum_failed(booted);
        if (tried_alt_image) {
            std::fprintf(stderr, "Both image1 and image2 failed.\n");
            no_image_ending(false);
        }
        std::fprintf(stderr, "Image%d CRC failed, trying Image%d now.\n", code, alt);
        return 0;
    }

    const image::SectionHeader h = image::decode_header(raw);
    // Records the booted image; a trial image takes one of its starts here.
    if (!bootstate::starting(booted)) rescue_ending();
    if (gdb_enable && !gdbserver_enable) extract_gdb(booted);
    launch_image(h.type() == image::code(image::ImageType::Diagnostics));
}
