// The simulated switch hardware behind the device seam, and its test hooks.
//
// Each device is backed by a plain file, so its state survives a simulated
// power cycle and tests can look at it:
//   <dev>/mtd-<name>    an MTD partition (NOR flash): the file's size is the
//                       partition's size
//   <dev>/i2c-<bus>/    an I2C bus: one file per device that answers, named
//                       by its 7-bit address in hex ("54": the VPD EEPROM,
//                       64 KiB; "20" on bus 1: the I/O expander's registers)
// <dev> is "/dev" (the board sandbox bind-mounts the state files there), or
// the directory named by BOOTLAUNCH_SIM_DEV, or what set_dev_dir() says.
//
// Other environment settings, read once at first use:
//   BOOTLAUNCH_SIM_ERASE_SIZE  erase-block size in bytes (default 65536; a
//                              power of two and a multiple of 1024)
//   BOOTLAUNCH_SIM_FAULTS      e.g. "write:3,erase:1,read:2,i2c:5,power:40": make
//                              the Nth write/erase/read of flash fail with EIO,
//                              the Nth I2C transfer go unacknowledged (ENXIO),
//                              or cut the power after 40 flash operations
//   BOOTLAUNCH_SIM_WORN        e.g. "mtd-kernel:2,mtd-rfs:0": erase blocks
//                              whose bits no longer clear (see
//                              wear_out_block)
//   BOOTLAUNCH_SIM_I2C_LOG     append one line per I2C transfer to this file
//   BOOTLAUNCH_SIM_OP_COUNT    keep the number of flash operations so far in
//                              this file (what a power-cut campaign cuts),
//                              then lines "read N", "erase N", "write N" and
//                              "i2c N" (what a fault campaign fails)
//
// Files under /user, the switch's JFFS2 file system on flash, opened through
// the seam: each write to them is a flash operation that an injected fault
// or a power cut can hit. /dev/ttyS*, the console port: its drain takes the
// time a real line would.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

void set_dev_dir(const std::string& dir);
std::string dev_dir();

// Where the flash file system (/user on the switch) is, for tests.
void set_flash_fs_dir(const std::string& dir);

void set_erase_size(std::uint32_t bytes);
std::uint32_t erase_size();

enum class FlashOp { Read, Erase, Write };
// The nth operation of that kind from now on (1: the next one) fails with EIO
// and changes nothing. 0 disarms.
void fail_nth(FlashOp op, std::uint32_t n);
// The nth I2C transfer from now on is not acknowledged: it fails with ENXIO,
// as an unanswered address does, and changes nothing. 0 disarms.
void fail_nth_i2c_transfer(std::uint32_t n);
// After n more flash operations complete, the next one is torn half-way (a
// write programs the first half of its bytes, an erase clears the first half
// of its range) and the process ends at once with kPowerCutStatus, as a
// board losing power would. n = 0 tears the very next operation; reset()
// disarms.
void cut_power_after(std::uint32_t n);
inline constexpr int kPowerCutStatus = 86;

// Wears erase block `block` of a partition ("/dev/mtd-kernel" or
// "mtd-kernel") out, as NOR cells do after too many erase cycles: it still
// erases to 0xFF, but a write to it clears no bit and reports success.
// reset() makes it whole again.
void wear_out_block(const std::string& device, std::uint32_t block);

// Flash operations of one kind (partitions and the flash file system) since
// the process started.
std::uint32_t flash_ops(FlashOp op);

// Erase count of every erase block of a partition since the process started.
std::vector<std::uint32_t> erase_counts(const std::string& device_path);

struct I2cTransfer {
    enum class Kind { Write, Read, SmbusWrite, SmbusRead };
    int bus = -1;
    std::uint8_t address = 0;  // 7-bit
    Kind kind = Kind::Write;
    std::uint8_t command = 0;  // SMBus register
    std::vector<std::uint8_t> data;
    int error = 0;  // errno of a failed transfer, 0 when it went through
};
const std::vector<I2cTransfer>& i2c_log();
void clear_i2c_log();

// EEPROM internal write time after a stored write; it does not answer
// meanwhile (default 5 ms, as the part's data sheet gives at most).
void set_eeprom_write_time_us(std::uint32_t us);

// A serial line whose far end the caller plays without a real terminal (for
// fuzzing the XMODEM receiver): reads and writes on `fd` go to `far`, and
// while one is attached every poll of a timed wait advances the far end's
// clock by a millisecond instead of sleeping.
class FarEnd {
public:
    virtual ~FarEnd() = default;
    // What the switch reads: 0 when nothing has arrived (a non-blocking port).
    virtual long read(std::uint8_t* buf, std::size_t count) = 0;
    virtual long write(const std::uint8_t* buf, std::size_t count) = 0;
    virtual void advance_ms(unsigned ms) = 0;
};
void attach_far_end(int fd, FarEnd* far);
void detach_far_end(int fd);

// Forgets faults, counters and the transfer log (not the backing files).
void reset();

// Reads every simulator setting from the environment now and removes all
// BOOTLAUNCH_* variables from it, so that nothing the switch starts (its
// commands, the application) sees the simulator's settings.
void adopt_environment();

}  // namespace sim
