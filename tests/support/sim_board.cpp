#include "support/sim_board.hpp"

#include <utility>

#include "hw/flash.hpp"
#include "platform/sim/sim.hpp"

namespace testing_support {

namespace {

const std::pair<const char*, std::uint32_t> kPartitions[] = {
    {"mtd-uboot", 0x80000},  {"mtd-ubootenv", 0x20000}, {"mtd-devicetree", 0x40000},
    {"mtd-kernel", 0x80000}, {"mtd-rfs", 0x80000},      {"mtd-rescue", 0x80000},
};

void fill(const std::filesystem::path& p, std::uint32_t size, std::uint8_t value) {
    write_file(p, std::vector<std::uint8_t>(size, value));
}

}  // namespace

SimBoard::SimBoard() {
    for (const auto& [name, size] : kPartitions) fill(dir_ / name, size, 0xFF);
    std::filesystem::create_directories(dir_ / "i2c-0");
    std::filesystem::create_directories(dir_ / "i2c-1");
    fill(dir_ / "i2c-0/54", 0x10000, 0xFF);
    // Expander at power-on: every output port high, so the EEPROM is
    // write-protected until the launcher enables it.
    std::vector<std::uint8_t> regs(32, 0x00);
    for (int r = 8; r <= 12; ++r) regs[r] = 0xFF;
    write_file(dir_ / "i2c-1/20", regs);

    sim::set_dev_dir(dir_.path().string());
    sim::set_erase_size(kBlock);
    sim::set_eeprom_write_time_us(5000);
    sim::reset();
    flash_forget();
}

SimBoard::~SimBoard() {
    flash_forget();
    sim::reset();
}

std::vector<std::uint8_t> SimBoard::partition(const std::string& name) const {
    return read_file(dir_ / name);
}

void SimBoard::set_partition(const std::string& name, const std::vector<std::uint8_t>& bytes) {
    auto content = read_file(dir_ / name);
    std::copy(bytes.begin(),
              bytes.begin() + static_cast<long>(std::min(bytes.size(), content.size())),
              content.begin());
    write_file(dir_ / name, content);
}

void SimBoard::resize_partition(const std::string& name, std::uint32_t size, std::uint8_t value) {
    fill(dir_ / name, size, value);
}

std::uint8_t SimBoard::eeprom(std::uint16_t offset) const {
    return read_file(dir_ / "i2c-0/54").at(offset);
}

void SimBoard::set_eeprom(std::uint16_t offset, std::uint8_t value) {
    auto content = read_file(dir_ / "i2c-0/54");
    content.at(offset) = value;
    write_file(dir_ / "i2c-0/54", content);
}

std::uint8_t SimBoard::expander(std::uint8_t reg) const {
    return read_file(dir_ / "i2c-1/20").at(reg);
}

void SimBoard::remove_device(const std::string& relative) {
    std::filesystem::remove_all(dir_ / relative);
}

}  // namespace testing_support
