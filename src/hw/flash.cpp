#include "hw/flash.hpp"

#include <mtd/mtd-user.h>
#include <sys/ioctl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "platform/device.hpp"

int uboot_fd = -1;
int uboot_env_fd = -1;
int device_tree_fd = -1;
int kernel_fd = -1;
int rfs_fd = -1;
int rescue_fd = -1;
int flash_fd = -1;

FlashInfo theFlash = {"unknown", 0, 0, 0, 0};

int debug_read = 0;
int debug_write = 0;
int debug_erase = 0;

namespace {

struct Partition {
    int* handle;
    const char* device;
    int flags;
};

constexpr Partition kPartitions[] = {
    {&uboot_fd, "/dev/mtd-uboot", flash::kSyncOpenFlags},
    {&uboot_env_fd, "/dev/mtd-ubootenv", flash::kSyncOpenFlags},
    {&device_tree_fd, "/dev/mtd-devicetree", flash::kSyncOpenFlags},
    {&kernel_fd, "/dev/mtd-kernel", flash::kSyncOpenFlags},
    {&rfs_fd, "/dev/mtd-rfs", flash::kSyncOpenFlags},
    {&rescue_fd, "/dev/mtd-rescue", flash::kRescueOpenFlags},
};

// The block range [first, last] covering a byte range, and its block count.
struct BlockRange {
    std::uint32_t first;
    std::uint32_t last;
    std::uint32_t count;
};

BlockRange block_range(std::uint32_t offset, std::uint32_t length) {
    const std::uint32_t b = theFlash.sector_size;
    BlockRange r;
    r.first = offset & ~(b - 1);
    r.last = ((offset + length - 1) & ~(b - 1)) + b - 1;
    // A length of 0 at a block boundary wraps to a count of 0 on purpose.
    r.count = (r.last - r.first + 1) >> theFlash.sector_shift;
    return r;
}

// A range whose end lies past the 32-bit offset space would wrap around to
// the start of the partition and rewrite blocks outside the range. One that
// reaches the last offset from inside the first block covers all 2^32 bytes:
// its block count wraps to 0, and it would be done as nothing at all.
bool range_wraps(std::uint32_t offset, std::uint32_t length) {
    if (length == 0) return false;
    return length - 1 > 0xFFFFFFFFu - offset || block_range(offset, length).count == 0;
}

bool valid_erase_size(std::uint32_t erasesize) {
    return erasesize >= 1024 && erasesize % 1024 == 0 && (erasesize & (erasesize - 1)) == 0;
}

#ifdef BOOTLAUNCH_SIM
void read_trace_switches() {
    const char* switches = std::getenv("BOOTLAUNCH_FLASH_TRACE");
    if (!switches) return;
    if (std::strstr(switches, "read")) debug_read = 1;
    if (std::strstr(switches, "write")) debug_write = 1;
    if (std::strstr(switches, "erase")) debug_erase = 1;
}
#endif

}  // namespace

int mtd_open() {
    // Close-on-exec: the commands, the shell and the application that the
    // launcher starts must not inherit writable handles on the boot loader
    // and kernel partitions.
    for (const Partition& p : kPartitions) *p.handle = dev::open(p.device, p.flags | O_CLOEXEC);
    flash_fd = kernel_fd;
    return 1;
}

int mtd_type() {
    mtd_info_user info{};
    if (dev::ioctl(flash_fd, MEMGETINFO, &info) != 0) {
        std::puts("Could not get MTD device info ");
        return 0;
    }
    // Every partition is handled with this block size; a size that is not a
    // power of two of at least 1 KiB would break the block arithmetic.
    if (!valid_erase_size(info.erasesize)) {
        std::printf("Unsupported MTD erase block size 0x%x\n", info.erasesize);
        return 0;
    }
    theFlash.sectors = info.size / info.erasesize;
    theFlash.sector_size = info.erasesize;
    theFlash.sector_shift = 0;
    while (theFlash.sector_shift < 31 && !(info.erasesize & (1u << theFlash.sector_shift)))
        ++theFlash.sector_shift;
    std::snprintf(theFlash.desc, sizeof theFlash.desc, "%dMB w/%ld-%ldKB sectors",
                  static_cast<int>(info.size >> 20), static_cast<long>(theFlash.sectors),
                  static_cast<long>(theFlash.sector_size >> 10));
    theFlash.size = info.size;
    if (theFlash.size == 0) {
        std::puts("NO FLASH !");
        return 0;
    }
    return 1;
}

int flash_open() {
    mtd_open();
    return mtd_type();
}

int mtd_read(int handle, std::uint32_t offset, std::uint32_t length, std::uint8_t* buffer) {
    if (debug_read)
        std::printf("mtd read  0x%08lx to 0x%08lx 0x%08lx\n", static_cast<unsigned long>(offset),
                    static_cast<unsigned long>(offset + length - 1),
                    static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(buffer)));
    // A short count is not a failure: the partition simply ended.
    return dev::pread(handle, buffer, length, offset) >= 0 ? 1 : 0;
}

int mtd_write(int handle, std::uint32_t offset, std::uint32_t length, const std::uint8_t* buffer) {
    if (debug_write)
        std::printf("mtd write 0x%08lx to 0x%08lx 0x%08lx\n", static_cast<unsigned long>(offset),
                    static_cast<unsigned long>(offset + length - 1),
                    static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(buffer)));
    return dev::pwrite(handle, buffer, length, offset) >= 0 ? 1 : 0;
}

int mtd_erase(int handle, std::uint32_t offset, std::uint32_t length) {
    if (debug_erase)
        std::printf("mtd erase 0x%08lx to 0x%08lx\n", static_cast<unsigned long>(offset),
                    static_cast<unsigned long>(offset + length - 1));
    erase_info_user erase{offset, length};
    return dev::ioctl(handle, MEMERASE, &erase) >= 0 ? 1 : 0;
}

int mtd_get_size(int handle, std::uint32_t* size_out) {
    mtd_info_user info{};
    if (dev::ioctl(handle, MEMGETINFO, &info) != 0) return 0;
    *size_out = info.size;
    return 1;
}

int flash_read(std::uint8_t* buffer, int handle, std::uint32_t length, std::uint32_t offset) {
    if (debug_read)
        std::printf("Flash Read 0x%08lx to 0x%08lx\n", static_cast<unsigned long>(offset),
                    static_cast<unsigned long>(offset + length - 1));
    return mtd_read(handle, offset, length, buffer);
}

int flash_write(const std::uint8_t* buffer, int handle, std::uint32_t length, std::uint32_t offset,
                std::uint8_t progress) {
    const std::uint32_t b = theFlash.sector_size;
    const BlockRange r = block_range(offset, length);
    if (debug_write)
        std::printf("Flash Write 0x%08lx to 0x%08lx (0x%08lx to 0x%08lx) %ld\n",
                    static_cast<unsigned long>(offset),
                    static_cast<unsigned long>(offset + length - 1),
                    static_cast<unsigned long>(r.first), static_cast<unsigned long>(r.last),
                    static_cast<long>(r.count));
    if (range_wraps(offset, length)) {
        std::puts("Flash Write range past the end of flash.\n");
        return 0;
    }

    // The block as it is to be written, and room to read it back into.
    std::unique_ptr<std::uint8_t[]> block(new (std::nothrow) std::uint8_t[2 * std::size_t{b}]);
    if (!block) {
        std::puts("Flash Write malloc failed");
        return 0;
    }
    if (progress) std::printf("     ");

    std::uint32_t block_offset = r.first;
    std::uint32_t consumed = 0;
    for (std::uint32_t i = 0; i < r.count; ++i) {
        // The part of this block that the new data replaces.
        std::uint32_t start, part;
        if (r.count == 1) {
            start = offset - r.first;
            part = length;
        } else if (i == 0) {
            start = offset - r.first;
            part = b - start;
        } else if (i == r.count - 1) {
            start = 0;
            part = length - consumed;
        } else {
            start = 0;
            part = b;
        }

        // Read the whole block first so that the bytes outside the range
        // survive the erase.
        std::memset(block.get(), 0, b);
        if (!mtd_read(handle, block_offset, b, block.get())) {
            std::puts("Flash Write mtd read failed.\n");
            return 0;
        }
        if (part > 0) std::memcpy(block.get() + start, buffer + consumed, part);
        if (!mtd_erase(handle, block_offset, b)) {
            std::puts("Flash Write mtd erase failed.\n");
            return 0;
        }
        for (std::uint32_t w = 0; w < b; w += flash::kWritePiece) {
            if (!mtd_write(handle, block_offset + w, flash::kWritePiece, block.get() + w)) {
                std::puts("Flash Write mtd write failed.\n");
                return 0;
            }
        }
        // A worn NOR block takes a write without an error and keeps bits
        // set that the write should have cleared: only reading the block
        // back tells that it did not stick.
        std::uint8_t* const readback = block.get() + b;
        std::memset(readback, 0, b);
        if (!mtd_read(handle, block_offset, b, readback)) {
            std::puts("Flash Write mtd read failed.\n");
            return 0;
        }
        if (std::memcmp(readback, block.get(), b) != 0) {
            std::printf("Flash Write verify failed at 0x%08lx.\n\n",
                        static_cast<unsigned long>(block_offset));
            return 0;
        }
        if (progress) {
            std::printf("\b\b\b\b%3.3d%c", static_cast<int>(i * 100u / r.count), '%');
            std::fflush(stdout);
        }
        block_offset += b;
        consumed += part;
    }
    if (progress) std::printf("\b\b\b\b100%c\n", '%');
    return 1;
}

int flash_erase(int handle, std::uint32_t length, std::uint32_t offset) {
    const std::uint32_t b = theFlash.sector_size;
    const BlockRange r = block_range(offset, length);
    if (debug_erase)
        std::printf("Flash Erase 0x%08lx to 0x%08lx (0x%08lx to 0x%08lx) %ld\n",
                    static_cast<unsigned long>(offset),
                    static_cast<unsigned long>(offset + length - 1),
                    static_cast<unsigned long>(r.first), static_cast<unsigned long>(r.last),
                    static_cast<long>(r.count));
    if (range_wraps(offset, length)) {
        std::puts("Flash Erase range past the end of flash.");
        return 0;
    }
    for (std::uint32_t i = 0; i < r.count; ++i) {
        if (!mtd_erase(handle, r.first + i * b, b)) {
            std::puts("Flash Erase mtd erase failed.");
            return 0;
        }
    }
    return 1;
}

int api_flash_init() {
#ifdef BOOTLAUNCH_SIM
    read_trace_switches();
#endif
    return flash_open() == 1 && theFlash.size != 0 ? 0 : -1;
}

int api_flash_read(std::uint8_t* buffer, int handle, std::uint32_t offset, std::uint32_t length) {
    if (theFlash.size == 0) return -1;
    return flash_read(buffer, handle, length, offset) ? 0 : -1;
}

int api_flash_write(const std::uint8_t* buffer, int handle, std::uint32_t offset,
                    std::uint32_t length, std::uint8_t progress) {
    if (theFlash.size == 0) return -1;
    return flash_write(buffer, handle, length, offset, progress) ? 0 : -1;
}

int api_flash_erase(int handle, std::uint32_t offset, std::uint32_t length) {
    if (theFlash.size == 0) return -1;
    return flash_erase(handle, length, offset) ? 0 : -1;
}

void flash_forget() {
    for (const Partition& p : kPartitions) {
        if (*p.handle >= 0) dev::close(*p.handle);
        *p.handle = -1;
    }
    flash_fd = -1;
    theFlash = FlashInfo{"unknown", 0, 0, 0, 0};
}
