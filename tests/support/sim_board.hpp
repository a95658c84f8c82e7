// A simulated switch in a temporary directory: flash partitions, the VPD
// EEPROM and the I/O expander as plain files, wired to the simulator backend.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/sim/sim.hpp"
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

// Runs `scenario` (which returns an exit status) in a child process whose
// power the simulator cuts after `n` device operations, its output going to
// /tmp/cut.out. The child's exit status: the scenario's when it ran to its
// end, sim::kPowerCutStatus when the cut came first; -1 when it did not
// exit.
template <typename Scenario>
int run_until_power_cut(std::uint32_t n, Scenario scenario) {
    std::fflush(stdout);
    const pid_t child = ::fork();
    if (child == 0) {
        if (!std::freopen("/tmp/cut.out", "w", stdout)) ::_exit(2);
        sim::cut_power_after(n);
        ::_exit(scenario());
    }
    int status = 0;
    if (::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

}  // namespace testing_support
