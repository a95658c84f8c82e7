// NOR flash partitions over plain files, with the semantics of the MTD
// character device on the switch's NOR part:
//  - MEMGETINFO reports the file's size and the erase-block size;
//  - MEMERASE must cover whole erase blocks inside the partition (else
//    EINVAL) and sets them to 0xFF; an empty range inside it does nothing;
//  - a handle opened read-only is refused erases (EPERM) and writes (EBADF);
//  - a write can only clear bits: new = old AND data. Writing over data that
//    was not erased corrupts it exactly as the real part would;
//  - reads and writes at or past the end are cut short as mtdchar does;
//  - a worn block (BOOTLAUNCH_SIM_WORN, wear_out_block) erases, but its bits
//    no longer clear: a write to it changes nothing and still succeeds.
#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/sim/sim.hpp"
#include "platform/sim/sim_internal.hpp"

namespace sim::detail {

namespace {

// Indexed by FlashOp: the names of the fault settings and of the tally.
constexpr const char* kOpNames[3] = {"read", "erase", "write"};

struct Faults {
    std::uint32_t fail_at[3] = {0, 0, 0};  // indexed by FlashOp
    std::uint32_t i2c_fail_at = 0;
    std::uint32_t power_after = 0;
    bool power_armed = false;
    // BOOTLAUNCH_SIM_OP_COUNT: a file that always holds the number of flash
    // operations so far (what a power-cut campaign cuts), then each kind's
    // own count and the I2C transfers' (what a fault campaign fails).
    int count_fd = -1;
    std::uint32_t kind_count[3] = {0, 0, 0};  // indexed by FlashOp
    std::uint32_t i2c_count = 0;
    std::string failed;  // what the injected failure hit, once it has
    // Worn erase blocks by partition name ("mtd-kernel").
    std::map<std::string, std::set<std::uint32_t>> worn;
};

std::string base_name(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Calls each(name, number) for every "name:number" of a comma-separated
// setting such as "write:3,erase:1".
template <typename Each>
void for_each_setting(const char* setting, Each each) {
    const std::string s = setting;
    std::size_t pos = 0;
    while (pos < s.size()) {
        std::size_t comma = s.find(',', pos);
        if (comma == std::string::npos) comma = s.size();
        const std::string item = s.substr(pos, comma - pos);
        const std::size_t colon = item.rfind(':');
        if (colon != std::string::npos)
            each(item.substr(0, colon),
                 static_cast<std::uint32_t>(std::strtoul(item.c_str() + colon + 1, nullptr, 10)));
        pos = comma + 1;
    }
}

void write_tally(const Faults& f) {
    if (f.count_fd < 0) return;
    char text[512];
    const int n = std::snprintf(
        text, sizeof text, "%u\nread %u\nerase %u\nwrite %u\ni2c %u\n%s%s%s",
        f.kind_count[0] + f.kind_count[1] + f.kind_count[2], f.kind_count[0], f.kind_count[1],
        f.kind_count[2], f.i2c_count, f.failed.empty() ? "" : "failed ", f.failed.c_str(),
        f.failed.empty() ? "" : "\n");
    if (n <= 0) return;
    const auto length = std::min(static_cast<std::size_t>(n), sizeof text - 1);
    [[maybe_unused]] const ssize_t w = ::pwrite(f.count_fd, text, length, 0);
    [[maybe_unused]] const int t = ::ftruncate(f.count_fd, static_cast<off_t>(length));
}

Faults& faults() {
    static Faults f = [] {
        Faults f;
        // "write:3,erase:1,read:2,i2c:5,power:40"
        if (const char* setting = std::getenv("BOOTLAUNCH_SIM_FAULTS"))
            for_each_setting(setting, [&f](const std::string& key, std::uint32_t n) {
                for (int op = 0; op < 3; ++op)
                    if (key == kOpNames[op]) f.fail_at[op] = n;
                if (key == "i2c")
                    f.i2c_fail_at = n;
                else if (key == "power") {
                    f.power_after = n;
                    f.power_armed = true;
                }
            });
        // "mtd-kernel:2,mtd-rfs:0": erase block 2 of the kernel partition and
        // block 0 of the root file system's are worn.
        if (const char* setting = std::getenv("BOOTLAUNCH_SIM_WORN"))
            for_each_setting(setting, [&f](const std::string& device, std::uint32_t block) {
                f.worn[base_name(device)].insert(block);
            });
        if (const char* path = std::getenv("BOOTLAUNCH_SIM_OP_COUNT"); path && *path)
            f.count_fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        return f;
    }();
    return f;
}

std::map<std::string, std::vector<std::uint32_t>>& erase_table() {
    static std::map<std::string, std::vector<std::uint32_t>> t;
    return t;
}

std::uint64_t file_size(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return 0;
    return static_cast<std::uint64_t>(st.st_size);
}

bool fail_with(int err) {
    errno = err;
    return false;
}

bool program(int fd, const std::string& path, const std::uint8_t* data, std::size_t count,
             std::uint64_t offset) {
    std::vector<std::uint8_t> cells(count);
    if (::pread(fd, cells.data(), count, static_cast<off_t>(offset)) != static_cast<ssize_t>(count))
        return fail_with(EIO);
    const auto worn = faults().worn.find(base_name(path));
    const std::uint32_t block = config().erase_size;
    for (std::size_t i = 0; i < count; ++i) {
        if (worn != faults().worn.end() && block != 0 &&
            worn->second.count(static_cast<std::uint32_t>((offset + i) / block)))
            continue;
        cells[i] &= data[i];
    }
    return ::pwrite(fd, cells.data(), count, static_cast<off_t>(offset)) ==
           static_cast<ssize_t>(count);
}

// Sets the bytes to the erased state and counts an erase for every block
// that the range touches. A power cut stops a NOR erase part-way: then the
// range is not block-aligned and the blocks are left partly erased.
bool erase(int fd, const std::string& path, std::uint64_t start, std::uint64_t length) {
    const std::vector<std::uint8_t> ones(length, 0xFF);
    if (::pwrite(fd, ones.data(), length, static_cast<off_t>(start)) !=
        static_cast<ssize_t>(length))
        return fail_with(EIO);
    auto& counts = erase_table()[path];
    const std::uint32_t block = config().erase_size;
    if (block == 0) return true;
    for (std::uint64_t b = start / block; b < (start + length + block - 1) / block; ++b) {
        if (counts.size() <= b) counts.resize(b + 1, 0);
        ++counts[b];
    }
    return true;
}

bool writable(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && (flags & O_ACCMODE) != O_RDONLY;
}

}  // namespace

Outcome next_op(sim::FlashOp op, const std::string& where) {
    Faults& f = faults();
    ++f.kind_count[static_cast<int>(op)];
    auto& at = f.fail_at[static_cast<int>(op)];
    Outcome outcome = Outcome::Proceed;
    if (f.power_armed && f.power_after-- == 0)
        outcome = Outcome::Tear;
    else if (at > 0 && --at == 0) {
        f.failed = std::string(kOpNames[static_cast<int>(op)]) + " " + where;
        outcome = Outcome::Fail;
    }
    write_tally(f);
    return outcome;
}

bool next_i2c_transfer_fails(int bus, int address) {
    Faults& f = faults();
    ++f.i2c_count;
    const bool fails = f.i2c_fail_at > 0 && --f.i2c_fail_at == 0;
    if (fails) {
        char where[48];
        std::snprintf(where, sizeof where, "i2c bus %d address 0x%02x", bus, address);
        f.failed = where;
    }
    write_tally(f);
    return fails;
}

void power_lost() {
    ::_exit(sim::kPowerCutStatus);
}

void read_fault_settings() {
    faults();
}

bool flash_fs_path(const std::string& path) {
    const std::string& root = config().flash_fs;
    return !root.empty() && path.rfind(root, 0) == 0;
}

// JFFS2 writes its nodes to the flash as they come: a write cut short by a
// power cut leaves the file with the first half of the data that was being
// written, and nothing after it.
ssize_t flash_fs_write(int fd, const std::string& path, const void* buf, std::size_t count) {
    switch (next_op(sim::FlashOp::Write, path)) {
    case Outcome::Fail:
        errno = EIO;
        return -1;
    case Outcome::Tear: {
        [[maybe_unused]] const ssize_t torn = ::write(fd, buf, count / 2);
        power_lost();
    }
    case Outcome::Proceed:
        break;
    }
    return ::write(fd, buf, count);
}

bool mtd_path(const std::string& mapped) {
    return device_named(mapped, "mtd");
}

int mtd_ioctl(int fd, const std::string& path, unsigned long request, void* arg) {
    const std::uint64_t size = file_size(fd);
    const std::uint32_t block = config().erase_size;
    if (request == MEMGETINFO) {
        mtd_info_user info{};
        info.type = MTD_NORFLASH;
        info.flags = MTD_CAP_NORFLASH;
        info.size = static_cast<std::uint32_t>(size);
        info.erasesize = block;
        info.writesize = 1;
        info.oobsize = 0;
        std::memcpy(arg, &info, sizeof info);
        return 0;
    }
    if (request == MEMERASE) {
        // mtdchar refuses erases through a handle opened without write access.
        if (!writable(fd)) {
            errno = EPERM;
            return -1;
        }
        erase_info_user e{};
        std::memcpy(&e, arg, sizeof e);
        const std::uint64_t start = e.start, length = e.length;
        if (block == 0 || start >= size || length > size - start) {
            errno = EINVAL;
            return -1;
        }
        // The kernel's MTD layer answers an empty range inside the partition
        // at once, without reaching the chip: nothing erased, nothing counted.
        if (length == 0) return 0;
        if (start % block != 0 || length % block != 0) {
            errno = EINVAL;
            return -1;
        }
        switch (next_op(sim::FlashOp::Erase, path)) {
        case Outcome::Fail:
            errno = EIO;
            return -1;
        case Outcome::Tear:
            // The first half of the cells are erased, the rest keep what
            // they held: a one-block erase cut short is no longer intact.
            erase(fd, path, start, length / 2);
            power_lost();
        case Outcome::Proceed:
            break;
        }
        return erase(fd, path, start, length) ? 0 : -1;
    }
    errno = ENOTTY;
    return -1;
}

ssize_t mtd_pread(int fd, const std::string& path, void* buf, std::size_t count, off_t offset) {
    const std::uint64_t size = file_size(fd);
    if (offset < 0) {
        errno = EINVAL;
        return -1;
    }
    const auto off = static_cast<std::uint64_t>(offset);
    const std::size_t n =
        off >= size ? 0 : static_cast<std::size_t>(std::min<std::uint64_t>(count, size - off));
    switch (next_op(sim::FlashOp::Read, path)) {
    case Outcome::Fail:
        errno = EIO;
        return -1;
    case Outcome::Tear:
        power_lost();
    case Outcome::Proceed:
        break;
    }
    if (n == 0) return 0;
    return ::pread(fd, buf, n, offset);
}

ssize_t mtd_pwrite(int fd, const std::string& path, const void* buf, std::size_t count,
                   off_t offset) {
    const std::uint64_t size = file_size(fd);
    if (offset < 0) {
        errno = EINVAL;
        return -1;
    }
    if (!writable(fd)) {
        errno = EBADF;
        return -1;
    }
    const auto off = static_cast<std::uint64_t>(offset);
    if (off >= size) {
        errno = ENOSPC;
        return -1;
    }
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(count, size - off));
    const auto* data = static_cast<const std::uint8_t*>(buf);
    switch (next_op(sim::FlashOp::Write, path)) {
    case Outcome::Fail:
        errno = EIO;
        return -1;
    case Outcome::Tear:
        program(fd, path, data, n / 2, off);
        power_lost();
    case Outcome::Proceed:
        break;
    }
    return program(fd, path, data, n, off) ? static_cast<ssize_t>(n) : -1;
}

void mtd_reset() {
    faults() = Faults{};
    erase_table().clear();
}

}  // namespace sim::detail

namespace sim {

void fail_nth(FlashOp op, std::uint32_t n) {
    detail::faults().fail_at[static_cast<int>(op)] = n;
}

void fail_nth_i2c_transfer(std::uint32_t n) {
    detail::faults().i2c_fail_at = n;
}

void wear_out_block(const std::string& device, std::uint32_t block) {
    detail::faults().worn[detail::base_name(device)].insert(block);
}

void cut_power_after(std::uint32_t n) {
    detail::faults().power_after = n;
    detail::faults().power_armed = true;
}

std::uint32_t flash_ops(FlashOp op) {
    return detail::faults().kind_count[static_cast<int>(op)];
}

std::vector<std::uint32_t> erase_counts(const std::string& device_path) {
    const std::string mapped = detail::map_path(device_path.c_str());
    std::vector<std::uint32_t> counts = detail::erase_table()[mapped];
    // Report every block of the partition, erased or not.
    struct stat st {};
    if (::stat(mapped.c_str(), &st) == 0) {
        const std::uint32_t block = detail::config().erase_size;
        const std::uint64_t blocks = block ? static_cast<std::uint64_t>(st.st_size) / block : 0;
        if (counts.size() < blocks) counts.resize(blocks, 0);
    }
    return counts;
}

}  // namespace sim
