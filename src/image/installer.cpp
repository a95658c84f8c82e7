#include "image/installer.hpp"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <span>

#include "common/bytes.hpp"
#include "common/unique_fd.hpp"
#include "hw/flash.hpp"
#include "hw/i2c.hpp"
#include "image/container.hpp"
#include "image/crc.hpp"
#include "image/manifest.hpp"
#include "image/signature.hpp"
#include "launch/boot_state.hpp"
#include "launch/extract.hpp"
#include "launch/launch.hpp"
#include "launch/startup.hpp"
#include "platform/device.hpp"

namespace {

using common::UniqueFile;
using image::ImageType;

// Where each type goes, and the installer's words for it. The application
// goes to an image slot: no partition, no size limit.
struct Target {
    ImageType type;
    const char* announcement;
    const char* crc_message;
    const char* size_message;
    int* handle;  // the partition; nullptr for the application
    const char* failure;
};

constexpr Target kTargets[] = {
    {ImageType::Kernel, "Installing Kernel: ", "Bad crc for KERNEL: 0x%08x, voiding download\n",
     "KERNEL image is too big for flash (%d > %d)\n", &kernel_fd, "kernel image update failed"},
    {ImageType::RootFs,
     "Installing Root Filesystem: ", "Bad crc for RFS: 0x%08x, voiding download\n",
     "RFS image is too big for flash (%d > %d)\n", &rfs_fd, "RFS image update failed"},
    {ImageType::DeviceTree,
     "Installing Device Tree: ", "Bad crc for DFT: 0x%08x, voiding download\n",
     "DFT image is too big for flash (%d > %d)\n", &device_tree_fd, "DFT image update failed"},
    {ImageType::Diagnostics,
     "Installing Diagnostics: ", "Bad crc for DIAGNOSTICS IMAGE: 0x%08x, voiding download\n",
     "DIAGS image is too big for flash (%d > %d)\n", &rescue_fd, "DIAGS image update failed"},
    {ImageType::BootLoader,
     "Installing Boot Loader: ", "Bad crc for UBOOT: 0x%08x, voiding download\n",
     "UBOOT image is too big for flash (%d > %d)\n", &uboot_fd, "Uboot image update failed"},
    {ImageType::Application, "Installing Application: ",
     "Bad crc for APPLICATION: 0x%08x, voiding download\n", nullptr, nullptr, nullptr},
};

const Target* find_target(std::uint32_t type) {
    for (const auto& t : kTargets)
        if (image::code(t.type) == type) return &t;
    return nullptr;
}

// A partition the installer writes; nullptr for the application and for
// types it does not know.
const Target* flash_target(std::uint32_t type) {
    const Target* t = find_target(type);
    return t && t->handle ? t : nullptr;
}

constexpr std::uint32_t kReadPiece = 0x10000;

// gen_crc over bytes [start, start + length) of a source read in pieces, so
// that checking an installed copy or a refused section takes no buffer of
// its size. Without a final inversion the register simply carries on from
// one piece to the next.
template <typename ReadAt>
bool crc_in_pieces(ReadAt read_at, std::uint64_t start, std::uint64_t length, std::uint32_t& crc) {
    std::unique_ptr<std::uint8_t[]> piece(new (std::nothrow) std::uint8_t[kReadPiece]);
    if (!piece) return false;
    crc = image::kCrcInit;
    while (length > 0) {
        const auto n = static_cast<std::uint32_t>(length < kReadPiece ? length : kReadPiece);
        if (!read_at(start, std::span(piece.get(), n))) return false;
        crc = gen_crc(piece.get(), n, crc);
        start += n;
        length -= n;
    }
    return true;
}

// A stored section is intact when its header is consistent, the whole
// section lies within what the store holds, and its checksum matches.
template <typename ReadAt>
bool stored_section_intact(ReadAt read_at, std::uint64_t available) {
    std::uint8_t raw[image::kHeaderProbeSize] = {};
    if (available < sizeof raw || !read_at(0, std::span(raw))) return false;
    const image::SectionHeader h = image::decode_header(raw);
    const image::SectionGeometry g = image::section_geometry(h);
    if (!image::section_consistent(h) || !image::fits(0, g.size, available)) return false;
    std::uint32_t crc = 0;
    return crc_in_pieces(read_at, 4, g.size - 4, crc) && crc == h.crc;
}

bool file_read_at(std::FILE* f, std::uint64_t offset, std::span<std::uint8_t> out) {
    return fseeko(f, static_cast<off_t>(offset), SEEK_SET) == 0 &&
           std::fread(out.data(), 1, out.size(), f) == out.size();
}

std::uint64_t file_size(std::FILE* f) {
    struct stat st {};
    if (::fstat(fileno(f), &st) != 0 || st.st_size < 0) return 0;
    return static_cast<std::uint64_t>(st.st_size);
}

// The bytes of one section. A container in RAM (tmpfs: a download in
// /tmp/image) is mapped, which takes no second copy of the section: the
// switch's RAM then holds a 15 MiB download once, not twice. Anything else
// (a stick, which can change or go away under a mapping) is read into the
// heap.
class SectionBytes {
public:
    SectionBytes() = default;
    SectionBytes(const SectionBytes&) = delete;
    SectionBytes& operator=(const SectionBytes&) = delete;
    ~SectionBytes() { reset(); }

    // False when neither way has the memory.
    bool take(std::FILE* in, std::uint64_t pos, std::uint32_t size) {
        reset();
        struct statfs fs {};
        const int fd = fileno(in);
        // The magic numbers are 32-bit patterns; f_type is a signed word.
        const bool statted = ::fstatfs(fd, &fs) == 0;
        const auto type = static_cast<std::uint32_t>(fs.f_type);
        if (statted && (type == TMPFS_MAGIC || type == RAMFS_MAGIC)) {
            const long page = ::sysconf(_SC_PAGESIZE);
            const std::uint64_t start = pos - pos % static_cast<std::uint64_t>(page);
            map_len_ = static_cast<std::size_t>(pos - start) + size;
            void* m =
                ::mmap(nullptr, map_len_, PROT_READ, MAP_SHARED, fd, static_cast<off_t>(start));
            if (m != MAP_FAILED) {
                map_ = m;
                data_ = static_cast<std::uint8_t*>(m) + (pos - start);
                mapped_ = true;
                return true;
            }
        }
        heap_.reset(new (std::nothrow) std::uint8_t[size]);
        data_ = heap_.get();
        return data_ != nullptr;
    }
    // True when the bytes are the file's own pages (they are read as they
    // are used); false when they still have to be read into the heap.
    bool mapped() const { return mapped_; }
    std::uint8_t* data() const { return data_; }

    void reset() {
        if (map_) ::munmap(map_, map_len_);
        map_ = nullptr;
        mapped_ = false;
        heap_.reset();
        data_ = nullptr;
    }

private:
    std::unique_ptr<std::uint8_t[]> heap_;
    void* map_ = nullptr;
    std::size_t map_len_ = 0;
    bool mapped_ = false;
    std::uint8_t* data_ = nullptr;
};

// One run of the installer over one container.
class Installer {
public:
    Installer(UniqueFile container, std::uint8_t skip_same, int slot,
              const signing::Result* signed_by)
        : in_(std::move(container)),
          size_(file_size(in_.get())),
          skip_same_(skip_same),
          slot_(slot),
          signed_by_(signed_by) {}

    int run();
    // An application went into a slot (and with trial boots on, on trial).
    bool wrote_slot() const { return wrote_slot_; }

private:
    enum class Step { Next, Fail, EndOfContainer };

    Step section(std::uint64_t pos, std::span<const std::uint8_t, image::kHeaderProbeSize> raw,
                 const image::SectionHeader& h);
    Step refuse(const Target& t, std::uint64_t pos, const image::SectionHeader& h);
    Step flash_section(const Target& t, const image::SectionHeader& h,
                       std::span<const std::uint8_t> section,
                       std::span<const std::uint8_t, image::kHeaderProbeSize> raw);
    Step application_section(const image::SectionHeader& h, std::span<const std::uint8_t> section,
                             std::span<const std::uint8_t, image::kHeaderProbeSize> raw);
    Step boot_directly(const image::SectionHeader& h);
    Step write_slot(std::span<const std::uint8_t> section);
    bool ask_for_slot();

    UniqueFile in_;
    std::uint64_t size_;
    std::uint8_t skip_same_;
    int slot_;
    const signing::Result* signed_by_;  // the container's check, on a switch with a key
    bool installed_ = false;
    bool wrote_slot_ = false;
    SectionBytes buffer_;
};

int Installer::run() {
    std::puts("\nExtracting images ... Do *NOT* power cycle the switch.");
    std::uint64_t pos = 0;
    for (;;) {
        std::uint8_t raw[image::kHeaderProbeSize] = {};
        const bool whole_header = file_read_at(in_.get(), pos, raw);
        Step step = Step::EndOfContainer;
        if (whole_header) {
            display_header(raw, 0);
            const image::SectionHeader h = image::decode_header(raw);
            step = section(pos, raw, h);
            // The walk must always move forward: a size that does not even
            // cover its own header ends it as if the file ended here.
            if (step == Step::Next && !image::section_advances(h)) step = Step::EndOfContainer;
            pos += image::section_geometry(h).size;
        }
        buffer_.reset();
        if (step == Step::Fail) return 0;
        if (step == Step::EndOfContainer) {
            std::puts("File processed");
            in_.reset();
            if (installed_) return 1;
            std::puts("ERROR: No valid image found");
            return 0;
        }
    }
}

Installer::Step Installer::section(std::uint64_t pos,
                                   std::span<const std::uint8_t, image::kHeaderProbeSize> raw,
                                   const image::SectionHeader& h) {
    const image::SectionGeometry g = image::section_geometry(h);
    const Target* target = find_target(h.type());

    // A type this switch does not know is stepped over unread: an XMODEM
    // download ends in the sender's 0x1A padding, whose "header" states a
    // size of some 437 MB that must be neither allocated nor read.
    if (!target) return Step::Next;

    // A section that states more than the file holds, or an impossible
    // header, is refused as a damaged one, before anything is allocated.
    if (!image::section_consistent(h) || !image::fits(pos, g.size, size_))
        return refuse(*target, pos, h);

    if (!buffer_.take(in_.get(), pos, g.size)) {
        std::printf("Failed to allocate buffer for image (%d)\n", static_cast<int>(g.size));
        return Step::Fail;
    }
    const std::span<std::uint8_t> section(buffer_.data(), g.size);
    if (!buffer_.mapped() && !file_read_at(in_.get(), pos, section)) return refuse(*target, pos, h);
    // What is written must be what was checked, even if the file changed
    // since (a stick is only a file system someone else wrote).
    if (signed_by_ && !signing::section_signed(*signed_by_, pos, section)) {
        std::printf(
            "Refused: the %s section at byte %llu changed after its signature was "
            "checked\n",
            image::find_type(h.type())->name.data(), static_cast<unsigned long long>(pos));
        return Step::Fail;
    }

    std::printf("%s", target->announcement);
    std::fflush(stdout);
    const std::uint32_t crc = gen_crc(
        section.data() + 4, static_cast<std::uint32_t>(section.size() - 4), image::kCrcInit);
    if (crc != h.crc) {
        std::printf(target->crc_message, crc);
        return Step::Fail;
    }
    if (target->handle) return flash_section(*target, h, section, raw);
    return application_section(h, section, raw);
}

// The checksum message for a section that cannot be read whole, with the
// checksum of what the file does hold of it.
Installer::Step Installer::refuse(const Target& t, std::uint64_t pos,
                                  const image::SectionHeader& h) {
    std::printf("%s", t.announcement);
    std::fflush(stdout);
    const std::uint64_t stated_end = pos + image::section_geometry(h).size;
    const std::uint64_t end = stated_end < size_ ? stated_end : size_;
    std::uint32_t crc = image::kCrcInit;
    if (end > pos + 4)
        crc_in_pieces(
            [this](std::uint64_t off, std::span<std::uint8_t> out) {
                return file_read_at(in_.get(), off, out);
            },
            pos + 4, end - pos - 4, crc);
    std::printf(t.crc_message, crc);
    return Step::Fail;
}

Installer::Step Installer::flash_section(
    const Target& t, const image::SectionHeader& h, std::span<const std::uint8_t> section,
    std::span<const std::uint8_t, image::kHeaderProbeSize> raw) {
    const image::TypeInfo* info = image::find_type(h.type());
    const std::uint32_t compared =
        info->limit_on_payload ? h.len : static_cast<std::uint32_t>(section.size());
    if (compared > info->limit) {
        std::printf(t.size_message, static_cast<int>(compared), static_cast<int>(info->limit));
        return Step::Fail;
    }

    const bool boot_loader = t.type == ImageType::BootLoader;
    if (skip_same_ && verifyMatchingHeaders(raw.data(), slot_)) {
        // A power cut during an earlier update leaves the new header in
        // front of a torn body: only an intact copy counts as installed.
        // (The boot loader's copy carries no checksum of its own.)
        if (boot_loader || install::installed_copy_intact(h.type(), slot_)) {
            std::puts("Image has same version as existing image. Skipping update...");
            return Step::Next;
        }
        std::puts(
            "Image has same version as existing image, but the installed copy is damaged. "
            "Updating...");
    }

    const image::SectionGeometry g = image::section_geometry(h);
    const std::span<const std::uint8_t> data =
        boot_loader ? section.subspan(g.payload_offset, h.len) : section;
    if (api_flash_write(data.data(), *t.handle, 0, static_cast<std::uint32_t>(data.size()), 1) <
        0) {
        std::puts(t.failure);
        return Step::Fail;
    }
    if (t.type == ImageType::Diagnostics) std::puts("done");
    installed_ = true;
    return Step::Next;
}

// Reads the operator's choice of slot: '1' or '2' as the first character of
// a line of at most 31. Anything else, or no line at all, leaves 0.
bool Installer::ask_for_slot() {
    std::printf("Install image as image 1 or 2 (hit return to just boot image): ");
    std::fflush(stdout);
    char answer[32];
    if (!std::fgets(answer, sizeof answer, stdin)) return false;
    // What the operator typed past 31 characters belongs to this answer,
    // not to the next question.
    if (!std::strchr(answer, '\n'))
        for (int c = std::getchar(); c != EOF && c != '\n'; c = std::getchar()) {
        }
    if (answer[0] != '1' && answer[0] != '2') return false;
    slot_ = answer[0] - '0';
    return true;
}

Installer::Step Installer::application_section(
    const image::SectionHeader& h, std::span<const std::uint8_t> section,
    std::span<const std::uint8_t, image::kHeaderProbeSize> raw) {
    if (slot_ != 1 && slot_ != 2) {
        slot_ = 0;
        if (!ask_for_slot()) return boot_directly(h);
    }

    std::printf("Installing image as image%d: ", slot_);
    if (skip_same_ && verifyMatchingHeaders(raw.data(), slot_)) {
        if (install::installed_copy_intact(h.type(), slot_)) {
            std::printf("Image%d has same version as existing image. Skipping update...\n", slot_);
            return Step::Next;
        }
        std::printf(
            "Image%d has same version as existing image, but the installed copy is damaged. "
            "Updating...\n",
            slot_);
    }
    return write_slot(section);
}

// The operator chose to boot the application without installing it: the
// sections after it are not looked at.
Installer::Step Installer::boot_directly(const image::SectionHeader& h) {
    std::puts("Booting downloaded image");
    const std::uint8_t* payload = buffer_.data() + image::section_geometry(h).payload_offset;
    // The RAM file system can fill up: the archive counts as written only
    // when every byte reached it.
    errno = 0;
    UniqueFile out(std::fopen(extract::kArchive, "wb"));
    bool written =
        out && std::fwrite(payload, 1, h.len, out.get()) == h.len && std::fflush(out.get()) == 0;
    int err = errno;
    if (out && std::fclose(out.release()) != 0 && written) {
        written = false;
        err = errno;
    }
    if (!written) {
        std::printf("Image unpack failed (err %d)\n", err);
        // A partial archive would only keep the RAM file system full.
        std::remove(extract::kArchive);
        return Step::Fail;
    }
    std::puts("Image ready to boot...");
    // Nothing of the download stays held while the application runs.
    in_.reset();
    buffer_.reset();
    launch_image(false);
}

// True when the flash file system can hold `size` more bytes besides what it
// holds, with the spare erase blocks JFFS2 needs for its own housekeeping.
bool room_for(std::uint64_t size) {
    struct statvfs fs {};
    if (::statvfs(install::kSlotDir, &fs) != 0) return false;
    const std::uint64_t free = static_cast<std::uint64_t>(fs.f_bavail) * fs.f_frsize;
    return free >= size + install::kFlashFsReserve;
}

Installer::Step Installer::write_slot(std::span<const std::uint8_t> section) {
    if (!startup::exists(install::kSlotDir)) ::mkdir(install::kSlotDir, 0777);
    const char* path = install::slot_path(slot_);
    // With trial boots on, the image being replaced stays whole until its
    // replacement is: written beside it, flushed, then renamed over it.
    char beside[64];
    std::snprintf(beside, sizeof beside, "%s.new", path);
    bool keep_old = false;
    if (bootstate::enabled()) {
        std::remove(beside);  // what a power cut left of an earlier try
        keep_old = room_for(section.size());
        if (!keep_old)
            std::printf(
                "Not enough room on /user to keep image%d while it is replaced: "
                "writing over it\n",
                slot_);
    }
    // Through the device seam: the slot files live on the switch's flash.
    dev::UniqueFd out(
        dev::open(keep_old ? beside : path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!out) {
        std::printf("Image%d update failed (err %d)\n", slot_, errno);
        return Step::Fail;
    }
    std::printf("    ");
    std::uint64_t written = 0;
    while (written < section.size()) {
        const std::uint64_t left = section.size() - written;
        const std::size_t chunk = left < install::kSlotChunk ? left : install::kSlotChunk;
        for (std::size_t done = 0; done < chunk;) {
            const ssize_t n = dev::write(out.get(), section.data() + written + done, chunk - done);
            if (n <= 0) {
                std::printf("Image%d update failed (err %d)\n", slot_, n < 0 ? errno : EIO);
                return Step::Fail;
            }
            done += static_cast<std::size_t>(n);
        }
        written += chunk;
        std::printf("\b\b\b\b%3.3d%c", static_cast<int>(written * 100 / section.size()), '%');
        std::fflush(stdout);
    }
    std::printf("\b\b\b\b100%c\n", '%');
    if ((keep_old && dev::fsync(out.get()) != 0) || dev::close(out.release()) != 0 ||
        (keep_old && dev::rename(beside, path) != 0)) {
        std::printf("Image%d update failed (err %d)\n", slot_, errno);
        if (keep_old) std::remove(beside);
        return Step::Fail;
    }
    std::printf("\nImage%d updated succeeded\n", slot_);
    installed_ = true;
    wrote_slot_ = true;
    bootstate::installed(slot_, signed_by_ ? signed_by_->manifest.counter : 0);
    bootstate::set_boot_slot(slot_);
    return Step::Next;
}

}  // namespace

namespace install {

const char* slot_path(int slot) {
    return slot == 2 ? "/user/images/image2" : "/user/images/image1";
}

bool container_whole(const char* path, bool need_application) {
    UniqueFile f(std::fopen(path, "rb"));
    if (!f) {
        std::printf("Cannot read the image %s (err %d)\n", path, errno);
        return false;
    }
    const std::uint64_t size = file_size(f.get());
    const auto read_at = [&f](std::uint64_t off, std::span<std::uint8_t> out) {
        return file_read_at(f.get(), off, out);
    };
    std::uint64_t pos = 0;
    int known = 0;
    bool application = false;
    std::uint8_t raw[image::kHeaderProbeSize] = {};
    while (read_at(pos, raw)) {
        const image::SectionHeader h = image::decode_header(raw);
        const image::SectionGeometry g = image::section_geometry(h);
        const image::TypeInfo* info = image::find_type(h.type());
        // The first section tells a container from any other file; what
        // follows the last known one (a sender's padding) is stepped over
        // as the installer does.
        if (!info && pos == 0 && h.type() != manifest::kSectionType) break;
        if (info) {
            std::uint32_t crc = 0;
            if (!image::section_consistent(h) || !image::fits(pos, g.size, size) ||
                !crc_in_pieces(read_at, pos + 4, g.size - 4, crc) || crc != h.crc) {
                std::printf(
                    "The image's %s section at byte %llu is damaged or cut short: "
                    "nothing installed\n",
                    info->name.data(), static_cast<unsigned long long>(pos));
                return false;
            }
            ++known;
            application = application || info->type == ImageType::Application;
        }
        if (!image::section_advances(h)) break;
        pos += g.size;
    }
    if (known == 0) {
        std::puts("The file is not an image container: nothing installed");
        return false;
    }
    if (need_application && !application) {
        std::puts("The image holds no application: nothing installed");
        return false;
    }
    return true;
}

bool installed_copy_intact(std::uint32_t type, int slot) {
    if (type == image::code(ImageType::Application)) {
        if (slot != 1 && slot != 2) return false;
        UniqueFile f(std::fopen(slot_path(slot), "rb"));
        if (!f) return false;
        return stored_section_intact(
            [&f](std::uint64_t off, std::span<std::uint8_t> out) {
                return file_read_at(f.get(), off, out);
            },
            file_size(f.get()));
    }
    const Target* t = flash_target(type);
    if (!t || t->type == ImageType::BootLoader) return false;
    std::uint32_t partition_size = 0;
    if (!mtd_get_size(*t->handle, &partition_size)) return false;
    const int handle = *t->handle;
    return stored_section_intact(
        [handle](std::uint64_t off, std::span<std::uint8_t> out) {
            return api_flash_read(out.data(), handle, static_cast<std::uint32_t>(off),
                                  static_cast<std::uint32_t>(out.size())) == 0;
        },
        partition_size);
}

}  // namespace install

int processTesselImage(const char* path, std::uint8_t skip_same, int slot) {
    UniqueFile container(std::fopen(path, "rb"));
    if (!container) {
        std::printf("Failed to open image file %s (err %d)\n", path, errno);
        return 0;
    }
    // On a switch with a key nothing is written before the whole container
    // has been checked against its signed manifest.
    signing::Result signed_by;
    const bool keyed = signing::required();
    if (keyed && !signing::admit(container.get(), &signed_by)) return 0;
    Installer installer(std::move(container), skip_same, slot, keyed ? &signed_by : nullptr);
    const int installed = installer.run();
    // The switch's lowest accepted security counter rises with the install;
    // an application on trial raises it only once it is confirmed, so that a
    // release that never proves itself does not lock out the one before it.
    if (installed && keyed && !(bootstate::enabled() && installer.wrote_slot()))
        signing::raise_minimum(signed_by.manifest.counter);
    return installed;
}

int verifyMatchingHeaders(const std::uint8_t* header, int slot) {
    std::uint8_t copy[image::kHeaderCopySize];
    const std::uint32_t type = bytes::load_be32(std::span(header + 8, 4)) & image::kTypeMask;
    if (!read_flash_image_header(type, copy, slot)) return 0;
    if (type == image::code(ImageType::BootLoader))
        return std::memcmp(copy + 4, header + 4, 12) == 0 ? 1 : 0;
    return std::memcmp(copy, header, image::kHeaderCopySize) == 0 ? 1 : 0;
}

int read_flash_image_header(std::uint32_t type, std::uint8_t* header, int slot) {
    if (!header) return 0;
    std::memset(header, 0, image::kHeaderCopySize);
    if (type == image::code(ImageType::Application)) {
        char path[64];
        std::snprintf(path, sizeof path, "%s/image%d", install::kSlotDir, slot);
        UniqueFile f(std::fopen(path, "rb"));
        if (!f) return 0;
        std::fread(header, 1, image::kHeaderCopySize, f.get());
        return 1;
    }
    const Target* t = flash_target(type);
    if (!t) {
        std::printf("Unknown image type 0x%x \n", type);
        return 0;
    }
    const std::uint32_t offset =
        t->type == ImageType::BootLoader ? image::kBootLoaderCopyOffset : 0;
    // A failed read leaves zeros, which match no real header.
    api_flash_read(header, *t->handle, offset, image::kHeaderCopySize);
    return 1;
}
