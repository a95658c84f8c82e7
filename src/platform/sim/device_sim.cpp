// Simulator backend of the device seam: MTD partitions and I2C buses are
// modelled over plain files; any other path goes straight to the system.
#include <fcntl.h>
#include <linux/watchdog.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/device.hpp"
#include "platform/sim/sim.hpp"
#include "platform/sim/sim_internal.hpp"

namespace sim::detail {

namespace {

bool valid_erase_size(unsigned long v) {
    return v >= 1024 && v % 1024 == 0 && (v & (v - 1)) == 0 && v <= 0x40000000ul;
}

}  // namespace

Config& config() {
    static Config c = [] {
        Config c;
        if (const char* d = std::getenv("BOOTLAUNCH_SIM_DEV"); d && *d) c.dev_dir = d;
        if (const char* e = std::getenv("BOOTLAUNCH_SIM_ERASE_SIZE"); e && *e) {
            const unsigned long v = std::strtoul(e, nullptr, 0);
            if (valid_erase_size(v)) c.erase_size = static_cast<std::uint32_t>(v);
        }
        if (const char* l = std::getenv("BOOTLAUNCH_SIM_I2C_LOG"); l && *l) c.i2c_log_path = l;
        return c;
    }();
    return c;
}

bool device_named(const std::string& mapped, std::string_view prefix) {
    const std::size_t slash = mapped.rfind('/');
    const std::string_view base =
        std::string_view(mapped).substr(slash == std::string::npos ? 0 : slash + 1);
    return base.substr(0, prefix.size()) == prefix;
}

std::string map_path(const char* path) {
    const std::string p = path;
    if (p.rfind("/dev/", 0) == 0) return config().dev_dir + p.substr(4);
    return p;
}

}  // namespace sim::detail

namespace {

using sim::detail::Bus;

struct Mtd {
    std::string path;
};
struct FlashFile {
    std::string path;
};
struct Serial {};
// The board's watchdog: board-sim holds the far end of a FIFO and resets the
// switch when the count runs out. Each event is one line to it.
struct Watchdog {
    int timeout = 60;
};
using Device = std::variant<Mtd, Bus, FlashFile, Serial, Watchdog>;

// Descriptors that belong to simulated devices. Each is a real descriptor
// (the backing file, or the bus directory) so numbers never collide.
std::map<int, Device>& devices() {
    static std::map<int, Device> d;
    return d;
}

std::map<int, sim::FarEnd*>& far_ends() {
    static std::map<int, sim::FarEnd*> f;
    return f;
}

sim::FarEnd* far_end(int fd) {
    if (far_ends().empty()) return nullptr;
    auto it = far_ends().find(fd);
    return it == far_ends().end() ? nullptr : it->second;
}

Device* find(int fd) {
    auto it = devices().find(fd);
    return it == devices().end() ? nullptr : &it->second;
}

bool tell_watchdog(int fd, const char* event) {
    const std::size_t n = std::strlen(event);
    return ::write(fd, event, n) == static_cast<ssize_t>(n);
}

}  // namespace

namespace sim::detail {

bool advance_far_ends_ms(unsigned ms) {
    for (auto& entry : far_ends()) entry.second->advance_ms(ms);
    return !far_ends().empty();
}

}  // namespace sim::detail

namespace sim {

void attach_far_end(int fd, FarEnd* far) {
    far_ends()[fd] = far;
}
void detach_far_end(int fd) {
    far_ends().erase(fd);
}

void set_dev_dir(const std::string& dir) {
    detail::config().dev_dir = dir;
}
std::string dev_dir() {
    return detail::config().dev_dir;
}

void set_flash_fs_dir(const std::string& dir) {
    detail::config().flash_fs = dir.empty() || dir.back() == '/' ? dir : dir + "/";
}

void set_erase_size(std::uint32_t bytes) {
    detail::config().erase_size = bytes;
}
std::uint32_t erase_size() {
    return detail::config().erase_size;
}

void reset() {
    detail::mtd_reset();
    detail::i2c_reset();
}

void adopt_environment() {
    detail::config();
    detail::read_fault_settings();
    detail::clock_divisor();
    std::vector<std::string> names;
    for (char** e = environ; e && *e; ++e) {
        const std::string entry = *e;
        if (entry.rfind("BOOTLAUNCH_", 0) == 0) names.push_back(entry.substr(0, entry.find('=')));
    }
    for (const auto& name : names) ::unsetenv(name.c_str());
}

}  // namespace sim

namespace dev {

int open(const char* path, int flags, mode_t mode) {
    const std::string mapped = sim::detail::map_path(path);
    int bus_number = -1;
    if (sim::detail::i2c_path(mapped, bus_number)) {
        struct stat st {};
        if (::stat(mapped.c_str(), &st) != 0) return -1;
        if (!S_ISDIR(st.st_mode)) {
            errno = ENODEV;
            return -1;
        }
        const int fd = ::open(mapped.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0) devices()[fd] = Bus{bus_number, -1};
        return fd;
    }
    if (sim::detail::device_named(mapped, "watchdog")) {
        // Without board-sim at the far end the open fails (ENXIO), as on a
        // board without the device.
        const int fd = ::open(mapped.c_str(), O_WRONLY | O_NONBLOCK | (flags & O_CLOEXEC));
        if (fd < 0) return fd;
        devices()[fd] = Watchdog{};
        tell_watchdog(fd, "open\n");
        return fd;
    }
    // The partitions' backing files are not synced to the PC's disk: a
    // write to the simulated flash is complete when the call returns, as
    // an MTD write is, and a simulated power cut cannot lose page cache.
    const bool mtd = sim::detail::mtd_path(mapped);
    if (mtd) flags &= ~(O_SYNC | O_DSYNC);
    const int fd = ::open(mapped.c_str(), flags, mode);
    if (fd < 0) return fd;
    if (mtd)
        devices()[fd] = Mtd{mapped};
    else if (sim::detail::serial_path(mapped))
        devices()[fd] = Serial{};
    else if (sim::detail::flash_fs_path(mapped))
        devices()[fd] = FlashFile{mapped};
    return fd;
}

int close(int fd) {
    if (Device* d = find(fd); d && std::holds_alternative<Watchdog>(*d)) tell_watchdog(fd, "close\n");
    devices().erase(fd);
    return ::close(fd);
}

int ioctl(int fd, unsigned long request, void* arg) {
    if (Device* d = find(fd)) {
        if (auto* m = std::get_if<Mtd>(d)) return sim::detail::mtd_ioctl(fd, m->path, request, arg);
        if (auto* b = std::get_if<Bus>(d)) return sim::detail::i2c_ioctl(*b, request, 0, arg);
        if (auto* w = std::get_if<Watchdog>(d)) {
            if (request == WDIOC_SETTIMEOUT && arg) {
                const int seconds = *static_cast<int*>(arg);
                if (seconds < 1) {
                    errno = EINVAL;
                    return -1;
                }
                w->timeout = seconds;
                char line[32];
                std::snprintf(line, sizeof line, "timeout %d\n", seconds);
                return tell_watchdog(fd, line) ? 0 : -1;
            }
            if (request == WDIOC_GETTIMEOUT && arg) {
                *static_cast<int*>(arg) = w->timeout;
                return 0;
            }
            if (request == WDIOC_KEEPALIVE) return tell_watchdog(fd, "keepalive\n") ? 0 : -1;
            errno = ENOTTY;
            return -1;
        }
    }
    return ::ioctl(fd, request, arg);
}

int ioctl(int fd, unsigned long request, unsigned long value) {
    if (Device* d = find(fd)) {
        if (auto* b = std::get_if<Bus>(d))
            return sim::detail::i2c_ioctl(*b, request, value, nullptr);
        if (std::holds_alternative<Serial>(*d))
            return sim::detail::serial_ioctl(fd, request, value);
        if (std::holds_alternative<Mtd>(*d)) {
            errno = ENOTTY;
            return -1;
        }
    }
    return ::ioctl(fd, request, value);
}

ssize_t pread(int fd, void* buf, std::size_t count, off_t offset) {
    if (Device* d = find(fd)) {
        if (auto* m = std::get_if<Mtd>(d))
            return sim::detail::mtd_pread(fd, m->path, buf, count, offset);
        if (std::holds_alternative<Bus>(*d)) {
            errno = ESPIPE;
            return -1;
        }
    }
    return ::pread(fd, buf, count, offset);
}

ssize_t pwrite(int fd, const void* buf, std::size_t count, off_t offset) {
    if (Device* d = find(fd)) {
        if (auto* m = std::get_if<Mtd>(d))
            return sim::detail::mtd_pwrite(fd, m->path, buf, count, offset);
        if (std::holds_alternative<Bus>(*d)) {
            errno = ESPIPE;
            return -1;
        }
    }
    return ::pwrite(fd, buf, count, offset);
}

// Plain reads and writes of a partition go through the same NOR model at the
// descriptor's file position, as the MTD character device does.
ssize_t read(int fd, void* buf, std::size_t count) {
    if (sim::FarEnd* far = far_end(fd)) return far->read(static_cast<std::uint8_t*>(buf), count);
    Device* d = find(fd);
    if (auto* b = d ? std::get_if<Bus>(d) : nullptr) return sim::detail::i2c_read(*b, buf, count);
    if (auto* m = d ? std::get_if<Mtd>(d) : nullptr) {
        const off_t pos = ::lseek(fd, 0, SEEK_CUR);
        const ssize_t r = sim::detail::mtd_pread(fd, m->path, buf, count, pos);
        if (r > 0) ::lseek(fd, pos + r, SEEK_SET);
        return r;
    }
    return ::read(fd, buf, count);
}

ssize_t write(int fd, const void* buf, std::size_t count) {
    if (sim::FarEnd* far = far_end(fd))
        return far->write(static_cast<const std::uint8_t*>(buf), count);
    Device* d = find(fd);
    if (auto* b = d ? std::get_if<Bus>(d) : nullptr) return sim::detail::i2c_write(*b, buf, count);
    if (auto* f = d ? std::get_if<FlashFile>(d) : nullptr)
        return sim::detail::flash_fs_write(fd, f->path, buf, count);
    if (d && std::holds_alternative<Watchdog>(*d)) {
        // Any write feeds the watchdog; the magic character lets the next
        // close stop it.
        if (!tell_watchdog(fd, "keepalive\n")) return -1;
        if (std::memchr(buf, 'V', count) && !tell_watchdog(fd, "magic\n")) return -1;
        return static_cast<ssize_t>(count);
    }
    if (auto* m = d ? std::get_if<Mtd>(d) : nullptr) {
        const off_t pos = ::lseek(fd, 0, SEEK_CUR);
        const ssize_t r = sim::detail::mtd_pwrite(fd, m->path, buf, count, pos);
        if (r > 0) ::lseek(fd, pos + r, SEEK_SET);
        return r;
    }
    return ::write(fd, buf, count);
}

// A file on the flash file system is on the flash when its write returns.
int fsync(int fd) {
    if (Device* d = find(fd); d && std::holds_alternative<FlashFile>(*d)) return 0;
    return ::fsync(fd);
}

// A rename on the flash file system is one flash operation: an injected
// fault fails it, a power cut leaves the old name as it was.
int rename(const char* from, const char* to) {
    const std::string target = sim::detail::map_path(to);
    if (sim::detail::flash_fs_path(target)) {
        switch (sim::detail::next_op(sim::FlashOp::Write, target)) {
        case sim::detail::Outcome::Fail:
            errno = EIO;
            return -1;
        case sim::detail::Outcome::Tear:
            sim::detail::power_lost();
        case sim::detail::Outcome::Proceed:
            break;
        }
    }
    return ::rename(sim::detail::map_path(from).c_str(), target.c_str());
}

}  // namespace dev
