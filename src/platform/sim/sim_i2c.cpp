// The switch's two I2C buses as i2c-dev presents them.
//
// Bus 0, address 0x54: the VPD EEPROM, a 64 KiB part with two offset bytes
// (high first). A raw write of two bytes sets its address pointer; further
// bytes are stored from there, wrapping inside the 128-byte page; a raw read
// returns bytes from the pointer on, rolling over at the end of the memory.
// Its write-protect pin is driven by bit 3 of output port 4 (register 12) of
// the I/O expander; while the pin is high the part acknowledges every byte
// and stores nothing. After a stored write it is busy for its internal write
// time and does not answer.
//
// Bus 1, address 0x20: the I/O expander, reached with SMBus byte-data
// transfers. Registers 8..12 are its output ports; registers 0..4 read back
// the pin levels, which the outputs drive. Registers live in a 32-byte file.
//
// An address with no device behind it fails every transfer with ENXIO, as an
// unanswered address does on the real bus; so does a transfer that an
// injected fault leaves unacknowledged.
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "common/unique_fd.hpp"
#include "platform/sim/sim.hpp"
#include "platform/sim/sim_internal.hpp"

namespace sim::detail {

namespace {

constexpr int kEepromBus = 0;
constexpr std::uint8_t kEepromAddress = 0x54;
constexpr std::uint32_t kEepromSize = 0x10000;
constexpr std::uint32_t kEepromPage = 128;
constexpr int kExpanderBus = 1;
constexpr std::uint8_t kExpanderAddress = 0x20;
constexpr std::uint8_t kWriteProtectPort = 12;
constexpr std::uint8_t kWriteProtectBit = 0x08;
constexpr std::size_t kExpanderRegisters = 32;

using Clock = std::chrono::steady_clock;

struct EepromState {
    std::uint16_t pointer = 0;
    Clock::time_point busy_until{};
};

struct I2cState {
    std::vector<sim::I2cTransfer> log;
    EepromState eeprom;
    std::uint32_t write_time_us = 5000;
};

I2cState& state() {
    static I2cState s;
    return s;
}

using Fd = common::BasicUniqueFd<&::close>;

std::string device_file(int bus, std::uint8_t address) {
    char name[48];
    std::snprintf(name, sizeof name, "/dev/i2c-%d/%02x", bus, address);
    return map_path(name);
}

Fd open_device(int bus, std::uint8_t address) {
    // Only the board's own devices are modelled.
    const bool known = (bus == kEepromBus && address == kEepromAddress) ||
                       (bus == kExpanderBus && address == kExpanderAddress);
    if (!known) return Fd{};
    return Fd{::open(device_file(bus, address).c_str(), O_RDWR | O_CLOEXEC)};
}

void record(const Bus& bus, sim::I2cTransfer::Kind kind, std::uint8_t command,
            const std::uint8_t* data, std::size_t n, int error) {
    sim::I2cTransfer t;
    t.bus = bus.number;
    t.address = static_cast<std::uint8_t>(bus.address < 0 ? 0 : bus.address);
    t.kind = kind;
    t.command = command;
    if (data) t.data.assign(data, data + n);
    t.error = error;
    state().log.push_back(t);

    const std::string& path = config().i2c_log_path;
    if (path.empty()) return;
    if (std::FILE* f = std::fopen(path.c_str(), "a")) {
        static const char* const names[] = {"write", "read", "smbus-write", "smbus-read"};
        std::fprintf(f, "bus %d addr 0x%02x %s", t.bus, t.address, names[static_cast<int>(kind)]);
        if (kind == sim::I2cTransfer::Kind::SmbusWrite || kind == sim::I2cTransfer::Kind::SmbusRead)
            std::fprintf(f, " reg %u", command);
        for (std::uint8_t b : t.data) std::fprintf(f, " %02x", b);
        std::fprintf(f, error ? " error %d\n" : " ok\n", error);
        std::fclose(f);
    }
}

ssize_t fail(const Bus& bus, sim::I2cTransfer::Kind kind, std::uint8_t command, int err) {
    record(bus, kind, command, nullptr, 0, err);
    errno = err;
    return -1;
}

std::uint8_t expander_register(int fd, std::uint8_t reg) {
    // Input ports read back the levels that the output ports drive.
    if (reg <= 4) reg = static_cast<std::uint8_t>(reg + 8);
    std::uint8_t v = 0xFF;
    if (reg < kExpanderRegisters) ::pread(fd, &v, 1, reg);
    return v;
}

bool write_protected() {
    // An expander that is absent leaves the line pulled high: protected.
    Fd expander = open_device(kExpanderBus, kExpanderAddress);
    if (!expander) return true;
    return (expander_register(expander.get(), kWriteProtectPort) & kWriteProtectBit) != 0;
}

bool eeprom_busy() {
    return Clock::now() < state().eeprom.busy_until;
}

}  // namespace

bool i2c_path(const std::string& mapped, int& bus_number) {
    const std::string prefix = config().dev_dir + "/i2c-";
    if (mapped.rfind(prefix, 0) != 0) return false;
    const std::string rest = mapped.substr(prefix.size());
    if (rest.empty() || rest.find_first_not_of("0123456789") != std::string::npos) return false;
    bus_number = std::atoi(rest.c_str());
    return true;
}

int i2c_ioctl(Bus& bus, unsigned long request, unsigned long value, void* arg) {
    using Kind = sim::I2cTransfer::Kind;
    if (request == I2C_SLAVE || request == I2C_SLAVE_FORCE) {
        if (value > 0x7F) {
            errno = EINVAL;
            return -1;
        }
        bus.address = static_cast<int>(value);
        return 0;
    }
    if (request != I2C_SMBUS || !arg) {
        errno = ENOTTY;
        return -1;
    }
    i2c_smbus_ioctl_data req{};
    std::memcpy(&req, arg, sizeof req);
    const Kind kind = req.read_write == I2C_SMBUS_READ ? Kind::SmbusRead : Kind::SmbusWrite;
    if (req.size != I2C_SMBUS_BYTE_DATA || !req.data)
        return static_cast<int>(fail(bus, kind, req.command, EINVAL));
    if (bus.address < 0) return static_cast<int>(fail(bus, kind, req.command, ENXIO));
    if (next_i2c_transfer_fails(bus.number, bus.address)) return static_cast<int>(fail(bus, kind, req.command, ENXIO));
    const auto address = static_cast<std::uint8_t>(bus.address);
    // The EEPROM does not speak SMBus register access; only the expander is
    // modelled for it.
    if (bus.number != kExpanderBus || address != kExpanderAddress)
        return static_cast<int>(fail(bus, kind, req.command, ENXIO));
    Fd fd = open_device(bus.number, address);
    if (!fd) return static_cast<int>(fail(bus, kind, req.command, ENXIO));

    if (kind == Kind::SmbusRead) {
        req.data->byte = expander_register(fd.get(), req.command);
        record(bus, kind, req.command, &req.data->byte, 1, 0);
        return 0;
    }
    const std::uint8_t v = req.data->byte;
    // Writes to the input ports are ignored by the part.
    if (req.command > 4 && req.command < kExpanderRegisters) ::pwrite(fd.get(), &v, 1, req.command);
    record(bus, kind, req.command, &v, 1, 0);
    return 0;
}

ssize_t i2c_write(Bus& bus, const void* buf, std::size_t count) {
    using Kind = sim::I2cTransfer::Kind;
    const auto* data = static_cast<const std::uint8_t*>(buf);
    if (bus.address < 0) return fail(bus, Kind::Write, 0, ENXIO);
    if (next_i2c_transfer_fails(bus.number, bus.address)) return fail(bus, Kind::Write, 0, ENXIO);
    const auto address = static_cast<std::uint8_t>(bus.address);
    Fd fd = open_device(bus.number, address);
    if (!fd) return fail(bus, Kind::Write, 0, ENXIO);

    if (bus.number == kExpanderBus) {
        // Raw write to the expander: register number, then data.
        if (count >= 2 && data[0] > 4 && data[0] < kExpanderRegisters)
            ::pwrite(fd.get(), data + 1, 1, data[0]);
    } else {
        if (eeprom_busy()) return fail(bus, Kind::Write, 0, ENXIO);
        EepromState& e = state().eeprom;
        if (count >= 2) e.pointer = static_cast<std::uint16_t>((data[0] << 8) | data[1]);
        if (count > 2 && !write_protected()) {
            std::uint16_t p = e.pointer;
            for (std::size_t i = 2; i < count; ++i) {
                ::pwrite(fd.get(), &data[i], 1, p);
                // The address counter wraps inside the page.
                p = static_cast<std::uint16_t>((p & ~(kEepromPage - 1)) |
                                               ((p + 1) & (kEepromPage - 1)));
            }
            e.pointer = p;
            e.busy_until = Clock::now() + std::chrono::microseconds(state().write_time_us);
        }
    }
    record(bus, Kind::Write, 0, data, count, 0);
    return static_cast<ssize_t>(count);
}

ssize_t i2c_read(Bus& bus, void* buf, std::size_t count) {
    using Kind = sim::I2cTransfer::Kind;
    auto* out = static_cast<std::uint8_t*>(buf);
    if (bus.address < 0) return fail(bus, Kind::Read, 0, ENXIO);
    if (next_i2c_transfer_fails(bus.number, bus.address)) return fail(bus, Kind::Read, 0, ENXIO);
    const auto address = static_cast<std::uint8_t>(bus.address);
    Fd fd = open_device(bus.number, address);
    if (!fd) return fail(bus, Kind::Read, 0, ENXIO);

    if (bus.number == kExpanderBus) {
        std::memset(out, 0xFF, count);
    } else {
        if (eeprom_busy()) return fail(bus, Kind::Read, 0, ENXIO);
        EepromState& e = state().eeprom;
        for (std::size_t i = 0; i < count; ++i) {
            std::uint8_t v = 0xFF;
            ::pread(fd.get(), &v, 1, e.pointer);
            out[i] = v;
            e.pointer = static_cast<std::uint16_t>((e.pointer + 1) % kEepromSize);
        }
    }
    record(bus, Kind::Read, 0, out, count, 0);
    return static_cast<ssize_t>(count);
}

void i2c_reset() {
    state().log.clear();
    state().eeprom = EepromState{};
}

}  // namespace sim::detail

namespace sim {

const std::vector<I2cTransfer>& i2c_log() {
    return detail::state().log;
}
void clear_i2c_log() {
    detail::state().log.clear();
}
void set_eeprom_write_time_us(std::uint32_t us) {
    detail::state().write_time_us = us;
}

}  // namespace sim
