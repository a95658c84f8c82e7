// A simulated switch in a temporary directory: flash partitions, the VPD
// EEPROM and the I/O expander as plain files, wired to the simulator backend.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "support/testing.hpp"

namespace testing_support {

class SimBoard {
public:
    static constexpr std::uint32_t kBlock = 0x10000;

    // Erased flash partitions of the switch (small, to keep tests fast), an
    // erased EEPROM and an expander at its power-on state.
    SimBoard();
    ~SimBoard();

    std::filesystem::path dev(const std::string& name) const { return dir_.path() / name; }

    // Flash partition contents.
    std::vector<std::uint8_t> partition(const std::string& name) const;
    void set_partition(const std::string& name, const std::vector<std::uint8_t>& bytes);
    void resize_partition(const std::string& name, std::uint32_t size, std::uint8_t fill = 0xFF);

    // VPD EEPROM contents and expander registers.
    std::uint8_t eeprom(std::uint16_t offset) const;
    void set_eeprom(std::uint16_t offset, std::uint8_t value);
    std::uint8_t expander(std::uint8_t reg) const;
    void remove_device(const std::string& relative);  // "i2c-0/54", "i2c-1"...

private:
    TemporaryDirectory dir_;
};

}  // namespace testing_support
