// Boot settings read from environment partitions made by U-Boot's own
// mkenvimage, so the layout (CRC word, NUL-separated strings, padding) is the
// boot loader's and not our idea of it.
#include "launch/settings.hpp"

#include <gtest/gtest.h>

#include <array>

#include "hw/flash.hpp"
#include "support/sim_board.hpp"
#include "support/testing.hpp"

using testing_support::SimBoard;

namespace {

using testing_support::PrintTo;

// gdb, gdbserver, gdbport, shell, memchk, rescue, diags.
using Settings = std::array<int, 7>;
constexpr Settings kDefaults = {0, 0, 1234, 0, 0, 0, 0};

Settings current() {
    return {gdb_enable,    gdbserver_enable, gdbport,         shell_enable,
            memchk_enable, rescue_enable,    standalone_diags};
}

// Builds the environment partition with mkenvimage from `printenv`-style
// lines, boots the flash layer on it and reads the settings.
Settings boot_with(SimBoard& board, const std::string& lines) {
    const auto input = board.dev("env.txt");
    const auto image = board.dev("env.bin");
    testing_support::write_file(input, lines);
    const std::string cmd = "mkenvimage -s 0x20000 -o " + image.string() + " " + input.string();
    EXPECT_EQ(testing_support::run(cmd), 0) << cmd;
    board.set_partition("mtd-ubootenv", testing_support::read_file(image));
    settings::reset_boot_settings();
    EXPECT_EQ(api_flash_init(), 0);
    parse_uboot_env();
    return current();
}

std::string filler(const std::string& name, std::size_t total) {
    // name=xxxx... of exactly `total` bytes (without its NUL).
    return name + "=" + std::string(total - name.size() - 1, 'x');
}

struct Case {
    const char* name;
    std::string env;
    Settings want;
};

class EnvSettings : public ::testing::TestWithParam<Case> {};

TEST_P(EnvSettings, FromMkenvimagePartition) {
    SimBoard board;
    EXPECT_EQ(boot_with(board, GetParam().env), GetParam().want);
}

// The environment window is bytes 4..1283 of the partition: the CRC word is
// skipped, so a variable starts at window offset 0.
const std::string kBeforeEdge = filler("pad", 1271);  // "shell=on" ends at partition byte 1283
const std::string kValueCut = filler("pad", 1272);    // only the "o" of "on" is inside

INSTANTIATE_TEST_SUITE_P(
    Keys, EnvSettings,
    ::testing::Values(
        Case{"gdbserver_implies_gdb", "gdbserver=on\n", {1, 1, 1234, 0, 0, 0, 0}},
        Case{"gdb_on_gdbserver_off", "gdb=on\ngdbserver=off\n", {1, 0, 1234, 0, 0, 0, 0}},
        Case{"port", "gdbport=4321\n", {0, 0, 4321, 0, 0, 0, 0}},
        Case{"port_not_a_number", "gdbport=fast\n", kDefaults},
        Case{"diagnostics_rescue", "diagnostics=rescue\n", {0, 0, 1234, 0, 0, 1, 0}},
        Case{"diagnostics_diags", "diagnostics=diags\n", {0, 0, 1234, 0, 0, 0, 1}},
        Case{"longer_word", "shell=onward\nmemchk=once\n", {0, 0, 1234, 1, 1, 0, 0}},
        Case{"key_inside_another_value",
             "bootargs=console=ttyS0 gdb=on\n",
             {1, 0, 1234, 0, 0, 0, 0}},
        Case{"first_occurrence_wins", "shell=off\nshell2=shell=on\n", kDefaults},
        Case{"key_ends_at_last_byte", kBeforeEdge + "\nshell=on\n", {0, 0, 1234, 1, 0, 0, 0}},
        Case{"value_cut_by_the_window", kValueCut + "\nshell=on\n", kDefaults}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

namespace {

// Trial boots: bootlimit, bootconfirm, bootwatchdog; a value out of range
// or not a number leaves the feature off.
struct TrialCase {
    const char* name;
    std::string env;
    std::array<int, 3> want;
};

class TrialSettings : public ::testing::TestWithParam<TrialCase> {};

TEST_P(TrialSettings, FromMkenvimagePartition) {
    SimBoard board;
    boot_with(board, GetParam().env);
    EXPECT_EQ((std::array<int, 3>{boot_limit, boot_confirm_after, boot_watchdog}),
              GetParam().want);
}

INSTANTIATE_TEST_SUITE_P(
    Trial, TrialSettings,
    ::testing::Values(
        TrialCase{"all_three", "bootlimit=3\nbootconfirm=60\nbootwatchdog=30\n", {3, 60, 30}},
        TrialCase{"none", "bootdelay=3\n", {0, 0, 0}},
        TrialCase{"limit_past_99", "bootlimit=100\n", {0, 0, 0}},
        TrialCase{"limit_zero", "bootlimit=0\n", {0, 0, 0}},
        TrialCase{"limit_not_a_number", "bootlimit=three\n", {0, 0, 0}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
