// Boot settings read from environment partitions made by U-Boot's own
// mkenvimage, so the layout (CRC word, NUL-separated strings, padding) is the
// boot loader's and not our idea of it.
#include "launch/settings.hpp"

#include <gtest/gtest.h>

#include <sstream>

#include "hw/flash.hpp"
#include "support/sim_board.hpp"
#include "support/testing.hpp"

using testing_support::SimBoard;

namespace {

using testing_support::PrintTo;

struct Settings {
    int gdb = 0, gdbserver = 0, port = 1234, shell = 0, memchk = 0, rescue = 0, diags = 0;
    bool operator==(const Settings&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Settings& s) {
    return os << "{gdb " << s.gdb << " gdbserver " << s.gdbserver << " port " << s.port << " shell "
              << s.shell << " memchk " << s.memchk << " rescue " << s.rescue << " diags " << s.diags
              << "}";
}

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
const std::string kKeyCut = filler("pad", 1274);      // "shell" inside, "=on" outside

INSTANTIATE_TEST_SUITE_P(
    Keys, EnvSettings,
    ::testing::Values(
        Case{"empty", "", {}},
        Case{"gdbserver_implies_gdb", "gdbserver=on\n", {1, 1, 1234, 0, 0, 0, 0}},
        Case{"gdb_on_gdbserver_off", "gdb=on\ngdbserver=off\n", {1, 0, 1234, 0, 0, 0, 0}},
        Case{"gdb_off_gdbserver_on", "gdb=off\ngdbserver=on\n", {1, 1, 1234, 0, 0, 0, 0}},
        Case{"port", "gdbport=4321\n", {0, 0, 4321, 0, 0, 0, 0}},
        Case{"port_not_a_number", "gdbport=fast\n", {}},
        Case{"port_too_big", "gdbport=99999999999\n", {}},
        Case{"diagnostics_rescue", "diagnostics=rescue\n", {0, 0, 1234, 0, 0, 1, 0}},
        Case{"diagnostics_diags", "diagnostics=diags\n", {0, 0, 1234, 0, 0, 0, 1}},
        Case{"diagnostics_other", "diagnostics=off\n", {}},
        Case{"longer_word", "shell=onward\nmemchk=once\n", {0, 0, 1234, 1, 1, 0, 0}},
        Case{"off_value", "shell=off\nmemchk=yes\n", {}},
        Case{"key_inside_another_value",
             "bootargs=console=ttyS0 gdb=on\n",
             {1, 0, 1234, 0, 0, 0, 0}},
        Case{"first_occurrence_wins", "shell=off\nshell2=shell=on\n", {}},
        Case{"key_ends_at_last_byte", kBeforeEdge + "\nshell=on\n", {0, 0, 1234, 1, 0, 0, 0}},
        Case{"value_cut_by_the_window", kValueCut + "\nshell=on\n", {}},
        Case{"key_cut_by_the_window", kKeyCut + "\nshell=on\n", {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(EnvSettingsEdge, UnreadablePartitionIsAnEmptyEnvironment) {
    SimBoard board;
    board.remove_device("mtd-ubootenv");
    settings::reset_boot_settings();
    ASSERT_EQ(api_flash_init(), 0);
    parse_uboot_env();
    EXPECT_EQ(current(), Settings{});
}

TEST(EnvSettingsEdge, ErasedTailIsPartOfTheTextButHarmless) {
    // A partition that was never written: 0xFF everywhere, nothing set.
    SimBoard board;
    settings::reset_boot_settings();
    ASSERT_EQ(api_flash_init(), 0);
    parse_uboot_env();
    EXPECT_EQ(current(), Settings{});
}

}  // namespace
