// Shared between the parts of the simulator backend.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/sim/sim.hpp"

namespace sim::detail {

struct Config {
    std::string dev_dir = "/dev";
    // Files under this directory live on the switch's JFFS2 flash file
    // system: each write to them is a flash operation that faults and power
    // cuts can hit.
    std::string flash_fs = "/user/";
    std::uint32_t erase_size = 0x10000;
    std::string i2c_log_path;
};
Config& config();

// Maps a device path under /dev to the directory in use.
std::string map_path(const char* path);
// True when the device node's name (after the last '/') begins with `prefix`.
bool device_named(const std::string& mapped, std::string_view prefix);

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

// One flash operation's fate, shared by the partitions and the flash file
// system: an injected failure, a power cut in the middle of it, or nothing.
enum class Outcome { Proceed, Fail, Tear };
// `where` names the partition or file, for the fault campaign's tally.
Outcome next_op(sim::FlashOp op, const std::string& where);
[[noreturn]] void power_lost();
// Counts an I2C transfer that reaches a bus; true when it is the one an
// injected fault makes go unacknowledged.
bool next_i2c_transfer_fails(int bus, int address);
void read_fault_settings();

// A write to a file on the flash file system (see Config::flash_fs).
bool flash_fs_path(const std::string& path);
ssize_t flash_fs_write(int fd, const std::string& path, const void* buf, std::size_t count);

// Serial lines (the console port).
bool serial_path(const std::string& mapped);
int serial_ioctl(int fd, unsigned long request, unsigned long value);

unsigned long clock_divisor();
// Advances the clock of every attached far end; false when there is none.
bool advance_far_ends_ms(unsigned ms);

}  // namespace sim::detail
