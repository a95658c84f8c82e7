#include "launch/recovery.hpp"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <new>

#include "common/unique_fd.hpp"
#include "hw/flash.hpp"
#include "hw/i2c.hpp"
#include "image/container.hpp"
#include "image/crc.hpp"
#include "launch/boot_state.hpp"
#include "launch/extract.hpp"
#include "launch/launch.hpp"
#include "launch/startup.hpp"

namespace {

using common::UniqueFile;

constexpr std::uint8_t kFlashImage = 4;  // booted-image value of this image
constexpr const char* kRecoveryCopy = "/tmp/image";
constexpr const char* kDebuggerArchive = "/tmp/gdb.gz";

// The partition's whole section, or nothing when it cannot be read whole or
// fails its checksum. The flash layer takes a read that the partition's end
// cuts short as a success, so the size is held against the partition first.
std::unique_ptr<std::uint8_t[]> read_flash_section(const image::SectionHeader& h) {
    const image::SectionGeometry g = image::section_geometry(h);
    std::uint32_t partition_size = 0;
    if (!image::section_consistent(h) || !mtd_get_size(rescue_fd, &partition_size) ||
        !image::fits(0, g.size, partition_size))
        return nullptr;
    std::unique_ptr<std::uint8_t[]> section(new (std::nothrow) std::uint8_t[g.size]());
    if (!section || api_flash_read(section.get(), rescue_fd, 0, g.size) != 0) return nullptr;
    if (CheckCrc(section.get() + 4, g.size - 4, h.crc) != 0) return nullptr;
    return section;
}

bool write_file(const char* path, const std::uint8_t* data, std::uint32_t length) {
    UniqueFile f(std::fopen(path, "wb"));
    if (!f) return false;
    std::fwrite(data, 1, length, f.get());
    return true;
}

}  // namespace

int extract_image_from_flash() {
    UniqueFile archive(std::fopen(extract::kArchive, "wb"));
    if (!archive) {
        std::fprintf(stderr, "Failed to open AppOS tarfile.\n");
        board_reset();
    }

    std::uint8_t raw[image::kHeaderProbeSize] = {};
    api_flash_read(raw, rescue_fd, 0, sizeof raw);
    const image::SectionHeader h = image::decode_header(raw);
    const bool diags = h.type() == image::code(image::ImageType::Diagnostics);
    if (!image::is_bootable_type(h.type())) {
        std::fprintf(stderr, "Image not found... \n");
        return 0;
    }

    std::unique_ptr<std::uint8_t[]> section = read_flash_section(h);
    if (!section) {
        std::fprintf(stderr, "Image CRC failed. Quitting\n");
        return 0;
    }
    const image::SectionGeometry g = image::section_geometry(h);
    const std::uint8_t* payload = section.get() + g.payload_offset;
    std::fwrite(payload, 1, h.len, archive.get());
    archive.reset();

    if (diags) {
        std::puts("Launching diagnostics image");
        if (!write_file(extract::kArchive, payload, h.len)) {
            std::fprintf(stderr, "Failed to open diags image file.\n");
            board_reset();
        }
        api_set_booted_image(kFlashImage);
    } else {
        std::printf("Install recovery image as image 1 or 2 (hit return to just boot image): ");
        std::fflush(stdout);
        char answer[8];
        if (std::fgets(answer, sizeof answer, stdin)) {
            const char slot = answer[0];
            if (slot == '1' || slot == '2') {
                std::printf("\nInstalling recovery image as image%c...\n", slot);
                if (!write_file(kRecoveryCopy, section.get(), g.size)) {
                    std::fprintf(stderr, "Failed to open image file.\n");
                    board_reset();
                }
                startup::run_shell("mkdir /user/images &> /dev/null");
                char command[64];
                std::snprintf(command, sizeof command, "cp /tmp/image /user/images/image%c\n",
                              slot);
                startup::run_shell(command);
                const int number = slot - '0';
                std::printf("Setting boot image to %d\n", number);
                bootstate::installed(number);
                bootstate::set_boot_slot(number);
                api_set_booted_image(static_cast<std::uint8_t>(number));
            } else {
                std::puts(
                    "\nBooting recovery image. You will need to download and install an "
                    "image before rebooting");
                api_set_booted_image(kFlashImage);
            }
        }
    }
    section.reset();
    launch_image(diags);
}

int extract_gdb(int code) {
    if (code != 1 && code != 2) return 0;
    const int slot = startup::alternate_slot(code);
    std::printf("Extracting GDB from image slot %d\n", slot);

    UniqueFile in(std::fopen(extract::kSlotPaths[slot], "rb"));
    if (!in) {
        std::fprintf(stderr, "Failed to open GDB image (from slot %d)\n", slot);
        return 0;
    }
    UniqueFile out(std::fopen(kDebuggerArchive, "wb"));
    if (!out) {
        std::fprintf(stderr, "Failed to open GDB output file.\n");
        return 0;
    }

    std::uint8_t raw[image::kHeaderProbeSize] = {};
    std::fread(raw, 1, sizeof raw, in.get());
    const image::SectionHeader h = image::decode_header(raw);
    std::uint32_t payload_offset = h.hdr_len;
    if (!h.extended()) {
        std::puts("V2 header found");
        payload_offset = image::kBasicHeaderSize;
    }
    if (!image::is_bootable_type(h.type())) {
        std::fprintf(stderr, "Image has invalid header 0x%x\n", h.magic);
        return 0;
    }
    std::printf("Found GDB image %d of length = %u.\n", slot, h.len);

    // No checksum here; a file shorter than the header claims ends the copy.
    std::fseek(in.get(), static_cast<long>(payload_offset), SEEK_SET);
    std::uint8_t chunk[0x10000];
    for (std::uint32_t left = h.len; left > 0;) {
        const std::size_t want = left < sizeof chunk ? left : sizeof chunk;
        const std::size_t got = std::fread(chunk, 1, want, in.get());
        if (got == 0) break;
        std::fwrite(chunk, 1, got, out.get());
        left -= static_cast<std::uint32_t>(got);
    }
    in.reset();
    out.reset();

    std::puts("decompressing GDB....");
    startup::run_shell("gunzip /tmp/gdb.gz");
    startup::run_shell("chmod +x /tmp/gdb");
    return 1;
}
