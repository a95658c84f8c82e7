// Power cuts during an update from a USB stick: the installer is cut off at
// every flash operation of the install in turn (partition reads, erases and
// 1 KiB writes, and every 64 KiB chunk written to a slot file), each time in
// a child process that the simulator ends as the board would lose power.
// After each cut the switch must still have a bootable application, and
// running the same update again (the next power-on, with the stick still
// in) must leave everything installed byte for byte. The update runs with
// the same-version skip on, as from a stick: a copy that a cut left torn
// behind its new header must be installed again, not skipped.
//
// The same campaign runs on the powered switch, end to end, in
// tests/e2e/test_power_cut.py.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include "common/bytes.hpp"
#include "hw/flash.hpp"
#include "hw/i2c.hpp"
#include "image/container.hpp"
#include "image/crc.hpp"
#include "image/installer.hpp"
#include "image/section_writer.hpp"
#include "launch/boot_state.hpp"
#include "launch/settings.hpp"
#include "platform/sim/sim.hpp"
#include "support/sim_board.hpp"
#include "support/switch_fixture.hpp"
#include "support/switch_root.hpp"
#include "support/testing.hpp"

namespace {

using image::ImageType;
using testing_support::join;
using testing_support::read_file;
using testing_support::starts_with;
using testing_support::StdoutCapture;
using testing_support::write_file;
using Bytes = std::vector<std::uint8_t>;

const bool fast_clock = ::setenv("BOOTLAUNCH_SIM_CLOCK", "50", 0) == 0;

constexpr const char* kStickImage = "/scratch/TQV4410_replace1_OS.img";

Bytes section(ImageType type, std::size_t size, std::uint32_t id, std::uint8_t seed) {
    Bytes payload(size);
    for (std::size_t i = 0; i < size; ++i) payload[i] = static_cast<std::uint8_t>(seed * 31 + i);
    return image::build_section({image::code(type), id, 0, false}, payload);
}

// What the boot checks of a slot, worked out here on its own: a whole first
// section whose checksum (bit by bit) matches.
bool bootable(const Bytes& slot) {
    if (slot.size() < 20) return false;
    const std::uint32_t len = bytes::load_be32(std::span(slot).subspan(4, 4));
    if (std::uint64_t{len} + 16 > slot.size()) return false;
    return image::gen_crc_bitwise(slot.data() + 4, len + 12, image::kCrcInit) ==
           bytes::load_be32(std::span(slot).subspan(0, 4));
}

using PowerCut = testing_support::SwitchTest<>;

TEST_F(PowerCut, EveryCutLeavesABootableSwitchAndTheNextUpdateCompletesIt) {
    // Slot 1 boots now and is the one the stick replaces.
    const Bytes old_app1 = section(ImageType::Application, 90000, 0x01000001, 1);
    const Bytes old_app2 = section(ImageType::Application, 80000, 0x01000002, 2);
    const Bytes old_kernel = section(ImageType::Kernel, 70000, 0x04000001, 3);
    const Bytes old_dtb = section(ImageType::DeviceTree, 5000, 0x04000001, 4);
    const Bytes app = section(ImageType::Application, 700000, 0x02000001, 5);
    const Bytes kernel = section(ImageType::Kernel, 100000, 0x05000001, 6);
    const Bytes dtb = section(ImageType::DeviceTree, 10000, 0x05000001, 7);
    write_file(kStickImage, join({kernel, dtb, app}));

    const auto power_off_state = [&] {
        ::mkdir("/user/images", 0755);
        write_file(install::slot_path(1), old_app1);
        write_file(install::slot_path(2), old_app2);
        board->set_partition("mtd-kernel",
                             join({old_kernel, Bytes(0x80000 - old_kernel.size(), 0xFF)}));
        board->set_partition("mtd-devicetree",
                             join({old_dtb, Bytes(0x40000 - old_dtb.size(), 0xFF)}));
        board->set_eeprom(256, 1);
    };

    int cuts = 0;
    for (std::uint32_t n = 0;; ++n) {
        ASSERT_LT(n, 1000u) << "the install never completed";
        power_off_state();
        const int ended = testing_support::run_until_power_cut(
            n, [] { return processTesselImage(kStickImage, 1, 1) == 1 ? 0 : 1; });
        if (ended == 0) break;  // the install ran to its end
        ASSERT_EQ(ended, sim::kPowerCutStatus) << "cut after " << n;
        ++cuts;

        // Power on again: the boot slot's image, or the other slot's when
        // that one is torn, must be whole.
        ASSERT_TRUE(bootable(read_file(install::slot_path(1))) ||
                    bootable(read_file(install::slot_path(2))))
            << "no bootable slot after a cut at operation " << n;

        // The same update at the next power-on finishes the job.
        {
            StdoutCapture out;
            processTesselImage(kStickImage, 1, 1);
        }
        EXPECT_TRUE(starts_with(board->partition("mtd-kernel"), kernel)) << "cut at " << n;
        EXPECT_TRUE(starts_with(board->partition("mtd-devicetree"), dtb)) << "cut at " << n;
        EXPECT_EQ(read_file(install::slot_path(1)), app) << "cut at " << n;
        EXPECT_EQ(board->eeprom(256), 1);
        if (HasFailure()) return;
    }
    std::printf("[ figures  ] power cut at %d operations of the install in turn\n", cuts);
    EXPECT_GT(cuts, 150);
}

// With trial boots on, the image a slot holds stays whole until its
// replacement is: a cut anywhere in the rewrite of the booted slot leaves
// the old image or the new one in it, byte for byte, never a torn one.
TEST_F(PowerCut, WithTrialBootsTheReplacedImageIsWholeUntilTheNewOneIs) {
    const Bytes old_app = section(ImageType::Application, 200000, 0x01000001, 1);
    const Bytes app = section(ImageType::Application, 300000, 0x01000009, 9);
    write_file(kStickImage, app);
    int cuts = 0;
    for (std::uint32_t n = 0;; ++n) {
        ASSERT_LT(n, 100u) << "the install never completed";
        ::mkdir("/user/images", 0755);
        write_file(install::slot_path(1), old_app);
        std::remove(bootstate::kStatePath);
        bootstate::forget_start();
        const int ended = testing_support::run_until_power_cut(n, [] {
            boot_limit = 3;
            return processTesselImage(kStickImage, 0, 1) == 1 ? 0 : 1;
        });
        const Bytes slot = read_file(install::slot_path(1));
        if (ended == 0) {
            EXPECT_EQ(slot, app);
            break;
        }
        ASSERT_EQ(ended, sim::kPowerCutStatus) << "cut after " << n;
        ++cuts;
        ASSERT_TRUE(slot == old_app || slot == app) << "slot 1 torn by a cut at operation " << n;
    }
    std::printf("[ figures  ] power cut at %d operations of the slot's replacement in turn\n",
                cuts);
    EXPECT_GE(cuts, 5);
}

}  // namespace
