// Shared between the parts of the simulator backend.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace sim::detail {

struct Config {
    std::string dev_dir = "/dev";
    std::uint32_t erase_size = 0x10000;
    std::string i2c_log_path;
};
Config& config();

// Maps a device path under /dev to the directory in use.
std::string map_path(const char* path);

// MTD partitions.
bool mtd_path(const std::string& mapped);
int mtd_ioctl(int fd, const std::string& path, unsigned long request, void* arg);
ssize_t mtd_pread(int fd, const std::string& path, void* buf, std::size_t count, off_t offset);
ssize_t mtd_pwrite(int fd, const std::string& path, const void* buf, std::size_t count,
                   off_t offset);

// I2C buses.
struct Bus {
    int number = -1;
    int address = -1;  // selected 7-bit address, -1 before I2C_SLAVE
};
bool i2c_path(const std::string& mapped, int& bus_number);
int i2c_ioctl(Bus& bus, unsigned long request, unsigned long value, void* arg);
ssize_t i2c_read(Bus& bus, void* buf, std::size_t count);
ssize_t i2c_write(Bus& bus, const void* buf, std::size_t count);
void i2c_reset();

void mtd_reset();

}  // namespace sim::detail
