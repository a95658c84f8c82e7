// MTD flash partitions of the switch: opened once at start, read directly,
// updated block-wise (read, erase, write back) with an optional progress
// display on the console.
#pragma once

#include <fcntl.h>

#include <cstdint>

// Partition handles, negative until opened (or when the open failed).
extern int uboot_fd;
extern int uboot_env_fd;
extern int device_tree_fd;
extern int kernel_fd;
extern int rfs_fd;
extern int rescue_fd;
extern int flash_fd;  // the partition the geometry is measured on: kernel_fd

struct FlashInfo {
    char desc[128];
    std::uint32_t sectors;
    std::uint32_t sector_size;
    std::uint32_t sector_shift;
    std::uint32_t size;  // 0: no flash
};
extern FlashInfo theFlash;

// Trace switches; nothing on the switch sets them. The simulator build reads
// BOOTLAUNCH_FLASH_TRACE ("read,write,erase") at api_flash_init.
extern int debug_read;
extern int debug_write;
extern int debug_erase;

namespace flash {

// Read-write with synchronous writes; the switch's headers call 0x1000
// O_SYNC, current ones O_DSYNC.
inline constexpr int kSyncOpenFlags = O_RDWR | O_DSYNC;
static_assert(kSyncOpenFlags == 0x1002);
inline constexpr int kRescueOpenFlags = O_RDWR;

// Copy size of a block write-back.
inline constexpr std::uint32_t kWritePiece = 1024;

}  // namespace flash

int api_flash_init();
int api_flash_read(std::uint8_t* buffer, int handle, std::uint32_t offset, std::uint32_t length);
int api_flash_write(const std::uint8_t* buffer, int handle, std::uint32_t offset,
                    std::uint32_t length, std::uint8_t progress);
int api_flash_erase(int handle, std::uint32_t offset, std::uint32_t length);

// Workers: 1 on success, 0 on failure. The flash layer takes the length
// before the offset.
int flash_open();
int mtd_open();
int mtd_type();
int flash_read(std::uint8_t* buffer, int handle, std::uint32_t length, std::uint32_t offset);
int flash_write(const std::uint8_t* buffer, int handle, std::uint32_t length, std::uint32_t offset,
                std::uint8_t progress);
int flash_erase(int handle, std::uint32_t length, std::uint32_t offset);
int mtd_read(int handle, std::uint32_t offset, std::uint32_t length, std::uint8_t* buffer);
int mtd_write(int handle, std::uint32_t offset, std::uint32_t length, const std::uint8_t* buffer);
int mtd_erase(int handle, std::uint32_t offset, std::uint32_t length);
int mtd_get_size(int handle, std::uint32_t* size_out);

// Forgets handles and geometry (tests power the board off and on again).
void flash_forget();
