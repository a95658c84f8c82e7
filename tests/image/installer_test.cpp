// The installer on containers made by our own section writer, into the
// simulated NOR partitions and the slot files of a private /user. Each test
// runs in a root of its own (see switch_root.hpp).
#include "image/installer.hpp"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include "common/bytes.hpp"
#include "hw/flash.hpp"
#include "hw/i2c.hpp"
#include "image/container.hpp"
#include "image/crc.hpp"
#include "image/section_writer.hpp"
#include "platform/sim/sim.hpp"
#include "support/sim_board.hpp"
#include "support/switch_fixture.hpp"
#include "support/switch_root.hpp"
#include "support/testing.hpp"

namespace {

using testing_support::PrintTo;

using image::ImageType;
using testing_support::join;
using testing_support::read_file;
using testing_support::SimBoard;
using testing_support::starts_with;
using testing_support::StdinFeed;
using testing_support::StdoutCapture;
using testing_support::write_file;
using Bytes = std::vector<std::uint8_t>;

constexpr const char* kContainer = "/scratch/container.img";

// The switch's fixed waits (the EEPROM's write time, the pauses of the
// launch) on a fast clock; read by the simulator at its first wait.
const bool fast_clock = ::setenv("BOOTLAUNCH_SIM_CLOCK", "50", 0) == 0;

Bytes payload(std::size_t n, std::uint8_t seed = 1) {
    Bytes p(n);
    for (std::size_t i = 0; i < n; ++i) p[i] = static_cast<std::uint8_t>(seed + i * 7 + (i >> 9));
    return p;
}

Bytes section(ImageType type, std::size_t payload_size, std::uint32_t id = 0x01020304,
              std::uint16_t hdr_len = 0, std::uint8_t seed = 1) {
    const bool boot_loader = type == ImageType::BootLoader;
    return image::build_section({image::code(type), id, hdr_len, boot_loader},
                                payload(payload_size, seed));
}

// A section whose whole size, header included, is `total` bytes.
Bytes section_of_size(ImageType type, std::size_t total) {
    return section(type, total - image::kBasicHeaderSize);
}

// The checksum message for a section, with its checksum worked out bit by
// bit: "Installing Kernel: Bad crc for KERNEL: 0x...".
std::string crc_message(const char* format, const Bytes& s) {
    char text[128];
    std::snprintf(text, sizeof text, format,
                  image::gen_crc_bitwise(s.data() + 4, static_cast<std::uint32_t>(s.size() - 4),
                                         image::kCrcInit));
    return text;
}

struct Outcome {
    int result;
    std::string out;
};

class Installer : public testing_support::SwitchTest<> {
protected:
    // Opens the flash again after a partition was resized.
    void power_cycle() {
        flash_forget();
        api_flash_init();
    }

    Outcome install(const Bytes& container, std::uint8_t skip_same = 0, int slot = 0,
                    const std::string& answers = "") {
        write_file(kContainer, container);
        StdinFeed feed(answers);
        StdoutCapture out;
        const int result = processTesselImage(kContainer, skip_same, slot);
        return {result, out.text()};
    }

    Bytes partition(const char* name) const { return board->partition(name); }
};

TEST_F(Installer, PutsEverySectionTypeWhereItBelongsByteForByte) {
    // The boot loader behind an extended header: only its payload goes in.
    const Bytes uboot = section(ImageType::BootLoader, 4000, 0x07000001, 36);
    const Bytes kernel = section(ImageType::Kernel, 150000, 0x04130001);
    const Bytes rfs = section(ImageType::RootFs, 70000, 0x04130002, 0, 9);
    const Bytes dtb = section(ImageType::DeviceTree, 3000, 0x04130003, 32);
    const Bytes diags = section(ImageType::Diagnostics, 9000, 0x01000003);
    const Bytes app = section(ImageType::Application, 20000, 0x02010007);
    const Outcome run = install(join({uboot, kernel, rfs, dtb, diags, app}), 0, 2);

    EXPECT_EQ(run.result, 1) << run.out;
    EXPECT_TRUE(starts_with(partition("mtd-kernel"), kernel));
    EXPECT_TRUE(starts_with(partition("mtd-rfs"), rfs));
    EXPECT_TRUE(starts_with(partition("mtd-devicetree"), dtb));
    EXPECT_TRUE(starts_with(partition("mtd-rescue"), diags));
    // The boot loader goes without its section header; its header copy
    // lands at partition offset 240.
    const Bytes uboot_payload(uboot.begin() + 36, uboot.end());
    const Bytes flashed = partition("mtd-uboot");
    EXPECT_TRUE(starts_with(flashed, uboot_payload));
    EXPECT_EQ(flashed[uboot_payload.size()], 0xFF);
    EXPECT_TRUE(std::equal(uboot.begin() + 4, uboot.begin() + 16, flashed.begin() + 244));
    EXPECT_EQ(read_file(install::slot_path(2)), app);
    EXPECT_EQ(board->eeprom(256), 2);
    for (const char* line :
         {"\nExtracting images ... Do *NOT* power cycle the switch.\n", "Installing Boot Loader: ",
          "Installing Kernel: ", "Installing Root Filesystem: ", "Installing Device Tree: ",
          "Installing Diagnostics: ", "done\n", "Installing Application: ",
          "Installing image as image2: ", "\nImage2 updated succeeded\n", "File processed\n"})
        EXPECT_NE(run.out.find(line), std::string::npos) << line << "\n" << run.out;
}

TEST_F(Installer, DamagedSecondSectionStopsTheRunAndKeepsTheFirst) {
    const Bytes kernel = section(ImageType::Kernel, 5000);
    Bytes dtb = section(ImageType::DeviceTree, 5000);
    dtb[2000] ^= 0x10;
    const Outcome run = install(join({kernel, dtb, section(ImageType::RootFs, 100)}));
    EXPECT_EQ(run.result, 0);
    EXPECT_NE(run.out.find(crc_message(
                  "Installing Device Tree: Bad crc for DFT: 0x%08x, voiding download\n", dtb)),
              std::string::npos)
        << run.out;
    EXPECT_EQ(run.out.find("Root Filesystem"), std::string::npos);
    EXPECT_EQ(run.out.find("File processed"), std::string::npos);
    EXPECT_TRUE(starts_with(partition("mtd-kernel"), kernel));
    EXPECT_EQ(partition("mtd-devicetree"), Bytes(0x40000, 0xFF));
}

TEST_F(Installer, AFaultyFlashWriteFailsTheRun) {
    sim::fail_nth(sim::FlashOp::Erase, 2);
    const Outcome run = install(section(ImageType::Kernel, 100000));
    EXPECT_EQ(run.result, 0);
    EXPECT_NE(run.out.find("Flash Write mtd erase failed.\n\nkernel image update failed\n"),
              std::string::npos)
        << run.out;
}

// A worn NOR block keeps its bits set and reports the write as done: the
// read-back must catch it on every partition, before any success line.
struct WornCase {
    const char* name;
    ImageType type;
    const char* partition;
    const char* failure;
};


class InstallerWornFlash : public Installer, public ::testing::WithParamInterface<WornCase> {};

TEST_P(InstallerWornFlash, ReportsAWriteThatDidNotStickAsTheSectionsFailure) {
    const WornCase& c = GetParam();
    sim::wear_out_block(c.partition, 1);
    const Outcome run = install(join({section(GetParam().type, 3 * SimBoard::kBlock),
                                      section(ImageType::Application, 100)}),
                                0, 1);
    EXPECT_EQ(run.result, 0);
    EXPECT_NE(run.out.find("Flash Write verify failed at 0x00010000.\n\n" + std::string(c.failure) +
                           "\n"),
              std::string::npos)
        << run.out;
    EXPECT_EQ(run.out.find("100%"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("done"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("Installing Application"), std::string::npos) << run.out;
}

INSTANTIATE_TEST_SUITE_P(
    Partitions, InstallerWornFlash,
    ::testing::Values(
        WornCase{"boot_loader", ImageType::BootLoader, "/dev/mtd-uboot",
                 "Uboot image update failed"},
        WornCase{"kernel", ImageType::Kernel, "/dev/mtd-kernel", "kernel image update failed"},
        WornCase{"root_file_system", ImageType::RootFs, "/dev/mtd-rfs", "RFS image update failed"},
        WornCase{"device_tree", ImageType::DeviceTree, "/dev/mtd-devicetree",
                 "DFT image update failed"},
        WornCase{"diagnostics", ImageType::Diagnostics, "/dev/mtd-rescue",
                 "DIAGS image update failed"}),
    [](const auto& info) { return std::string(info.param.name); });

// --- size limits ------------------------------------------------------------

struct LimitCase {
    const char* name;
    ImageType type;
    const char* partition;
    std::uint32_t partition_size;
    std::uint32_t section_size;  // header included
    bool accepted;
    const char* message;  // for a refused one
};


class InstallerLimit : public Installer, public ::testing::WithParamInterface<LimitCase> {};

TEST_P(InstallerLimit, HoldsAtItsExactBoundary) {
    const LimitCase& c = GetParam();
    board->resize_partition(c.partition, c.partition_size);
    power_cycle();
    const Bytes s = section_of_size(c.type, c.section_size);
    const Outcome run = install(s);
    if (c.accepted) {
        EXPECT_EQ(run.result, 1) << run.out;
        const Bytes flashed = partition(c.partition);
        if (c.type == ImageType::BootLoader)
            EXPECT_TRUE(std::equal(s.begin() + 16, s.end(), flashed.begin()));
        else
            EXPECT_TRUE(starts_with(flashed, s));
    } else {
        EXPECT_EQ(run.result, 0);
        EXPECT_NE(run.out.find(c.message), std::string::npos) << run.out;
        EXPECT_EQ(partition(c.partition), Bytes(c.partition_size, 0xFF));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, InstallerLimit,
    ::testing::Values(
        LimitCase{"kernel_of_exactly_3MiB_is_installed", ImageType::Kernel, "mtd-kernel", 0x300000,
                  0x300000, true, nullptr},
        LimitCase{"kernel_one_byte_over_is_refused", ImageType::Kernel, "mtd-kernel", 0x300000,
                  0x300001, false, "KERNEL image is too big for flash (3145729 > 3145728)\n"},
        LimitCase{"device_tree_of_exactly_256KiB_is_installed", ImageType::DeviceTree,
                  "mtd-devicetree", 0x40000, 0x40000, true, nullptr},
        LimitCase{"device_tree_one_byte_over_is_refused", ImageType::DeviceTree, "mtd-devicetree",
                  0x40000, 0x40001, false, "DFT image is too big for flash (262145 > 262144)\n"},
        LimitCase{"root_file_system_one_byte_over_15MiB_is_refused", ImageType::RootFs, "mtd-rfs",
                  0x80000, 0xF00001, false,
                  "RFS image is too big for flash (15728641 > 15728640)\n"},
        LimitCase{"diagnostics_one_byte_over_10MiB_is_refused", ImageType::Diagnostics,
                  "mtd-rescue", 0x80000, 0xA00001, false,
                  "DIAGS image is too big for flash (10485761 > 10485760)\n"},
        // The boot loader's limit is on its payload alone.
        LimitCase{"boot_loader_payload_of_exactly_512KiB_is_installed", ImageType::BootLoader,
                  "mtd-uboot", 0x80000, 0x80000 + 16, true, nullptr},
        LimitCase{"boot_loader_payload_one_byte_over_is_refused", ImageType::BootLoader,
                  "mtd-uboot", 0x80000, 0x80000 + 17, false,
                  "UBOOT image is too big for flash (524289 > 524288)\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Installer, ChecksumIsJudgedBeforeTheSizeLimit) {
    Bytes s = section_of_size(ImageType::DeviceTree, 0x40001);
    s[100] ^= 1;
    const Outcome run = install(s);
    EXPECT_EQ(run.result, 0);
    EXPECT_NE(run.out.find("Bad crc for DFT"), std::string::npos);
    EXPECT_EQ(run.out.find("too big"), std::string::npos);
}

// --- the same-version skip ----------------------------------------------------

TEST_F(Installer, SkipsABootLoaderWhoseVersionIsInstalledWhateverItsCrcWord) {
    const Bytes uboot = section(ImageType::BootLoader, 2000, 0x07000001);
    ASSERT_EQ(install(uboot).result, 1);
    // Another build of the same version: same len, magic and id, other bytes.
    Bytes again = image::build_section({image::code(ImageType::BootLoader), 0x07000001, 0, true},
                                       payload(2000, 77));
    ASSERT_NE(bytes::load_be32(again), bytes::load_be32(uboot));
    const Outcome run = install(again, 1);
    EXPECT_EQ(run.result, 0);
    EXPECT_NE(run.out.find("Image has same version as existing image. Skipping update...\n"
                           "File processed\nERROR: No valid image found\n"),
              std::string::npos)
        << run.out;
    EXPECT_TRUE(std::equal(uboot.begin() + 16, uboot.end(), partition("mtd-uboot").begin()));
    // Without the skip the other build goes in.
    EXPECT_EQ(install(again, 0).result, 1);
    EXPECT_TRUE(std::equal(again.begin() + 16, again.end(), partition("mtd-uboot").begin()));
}

TEST_F(Installer, SkipsIdenticalSectionsUnderTheirTypeCode) {
    const Bytes kernel = section(ImageType::Kernel, 3000);
    const Bytes dtb = section(ImageType::DeviceTree, 3000, 0x01020304, 32);  // extended header
    const Bytes app = section(ImageType::Application, 3000);
    ASSERT_EQ(install(join({kernel, dtb, app}), 0, 1).result, 1);
    const auto kernel_erases = sim::erase_counts("/dev/mtd-kernel");

    const Outcome run = install(join({kernel, dtb, app}), 1, 1);
    EXPECT_EQ(run.result, 0);
    EXPECT_NE(run.out.find("Image1 has same version as existing image. Skipping update...\n"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("ERROR: No valid image found"), std::string::npos);
    EXPECT_EQ(sim::erase_counts("/dev/mtd-kernel"), kernel_erases);
}

TEST_F(Installer, InstallsIntoASlotThatHasNoFileYetDespiteTheSkip) {
    const Bytes app = section(ImageType::Application, 3000);
    const Outcome run = install(app, 1, 2);
    EXPECT_EQ(run.result, 1) << run.out;
    EXPECT_EQ(read_file(install::slot_path(2)), app);
}

// A power cut during an earlier update leaves the new header in front of a
// torn body; the update must not take it for the same version forever.
TEST_F(Installer, InstallsAgainWhatAPowerCutLeftTornBehindTheSameHeader) {
    const Bytes kernel = section(ImageType::Kernel, 200000);
    const Bytes app = section(ImageType::Application, 200000);
    ASSERT_EQ(install(join({kernel, app}), 0, 1).result, 1);
    Bytes torn_kernel = partition("mtd-kernel");
    std::fill(torn_kernel.begin() + 0x20000, torn_kernel.begin() + 0x30000, 0xFF);  // one block
    board->set_partition("mtd-kernel", torn_kernel);
    const Bytes torn_app(app.begin(), app.begin() + 65536 + 32768);
    write_file(install::slot_path(1), torn_app);

    const Outcome run = install(join({kernel, app}), 1, 1);
    EXPECT_EQ(run.result, 1) << run.out;
    EXPECT_NE(run.out.find("Installing Kernel: Image has same version as existing image, but the "
                           "installed copy is damaged. Updating...\n"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("Image1 has same version as existing image, but the installed copy "
                           "is damaged. Updating...\n"),
              std::string::npos)
        << run.out;
    EXPECT_TRUE(starts_with(partition("mtd-kernel"), kernel));
    EXPECT_EQ(read_file(install::slot_path(1)), app);
}

// --- sections the walk must step over or refuse ---------------------------

TEST_F(Installer, StepsOverAnUnknownTypeSilently) {
    const Bytes kernel = section(ImageType::Kernel, 1000);
    const Bytes other = image::build_section({0x07504754, 1, 0, false}, payload(5000));
    const Bytes dtb = section(ImageType::DeviceTree, 1000);
    const Outcome run = install(join({kernel, other, dtb}));
    EXPECT_EQ(run.result, 1);
    EXPECT_TRUE(starts_with(partition("mtd-devicetree"), dtb));
    EXPECT_EQ(run.out.find("0x7504754"), std::string::npos) << run.out;
}

// An XMODEM sender pads its last block with 0x1A and the receiver keeps the
// padding: the walk then meets a "header" stating some 437 MB.
TEST_F(Installer, EndsCleanlyOnXmodemPaddingWithoutAllocatingItsStatedSize) {
    const Bytes kernel = section(ImageType::Kernel, 1000);
    Bytes download = kernel;
    download.resize(kernel.size() + 100, 0x1A);
#if !defined(__SANITIZE_ADDRESS__) && !defined(BOOTLAUNCH_UNDER_EMULATOR)
    // With the address space limited, a buffer of the stated size cannot be
    // had: the run could only succeed by not asking for one.
    const auto limited = [&] {
        rlimit limit{256u << 20, 256u << 20};
        setrlimit(RLIMIT_AS, &limit);
        const Outcome run = install(download);
        const bool clean = run.result == 1 && run.out.ends_with("File processed\n");
        std::exit(clean ? 0 : 1);
    };
    EXPECT_EXIT(limited(), ::testing::ExitedWithCode(0), "");
#endif
    const Outcome run = install(download);
    EXPECT_EQ(run.result, 1) << run.out;
    EXPECT_TRUE(run.out.ends_with("100%\nFile processed\n")) << run.out;
}

TEST_F(Installer, RefusesASectionThatStatesMoreThanTheFileHolds) {
    Bytes kernel = section(ImageType::Kernel, 1000);
    bytes::store_be32(std::span(kernel).subspan(4), 0x00100000);  // 1 MiB claimed
    const Outcome run = install(kernel);
    EXPECT_EQ(run.result, 0);
    EXPECT_NE(run.out.find(crc_message(
                  "Installing Kernel: Bad crc for KERNEL: 0x%08x, voiding download\n", kernel)),
              std::string::npos)
        << run.out;
    EXPECT_EQ(partition("mtd-kernel"), Bytes(0x80000, 0xFF));
}

TEST_F(Installer, RefusesAnExtendedHeaderTooShortToHoldItself) {
    Bytes app = section(ImageType::Application, 100, 1, 20);
    bytes::store_be16(std::span(app).subspan(18), 8);
    const Outcome run = install(app, 0, 1);
    EXPECT_EQ(run.result, 0);
    EXPECT_NE(run.out.find("Bad crc for APPLICATION"), std::string::npos) << run.out;
}

TEST_F(Installer, ContainerThatCannotBeOpenedEndsTheRun) {
    StdoutCapture out;
    EXPECT_EQ(processTesselImage("/tmp/no-such-image", 0, 0), 0);
    EXPECT_EQ(out.text(), "Failed to open image file /tmp/no-such-image (err 2)\n");
}

TEST_F(Installer, ASectionCutShortBelowOneHeaderIsTheEnd) {
    // The worked example with a three-byte payload: 19 bytes, no section.
    const Outcome run = install(testing_support::hex("A5AF3B7A 00000003 01504754 01020304 616263"));
    EXPECT_EQ(run.result, 0);
    EXPECT_NE(run.out.find("File processed\nERROR: No valid image found\n"), std::string::npos);
}

// --- the application: slot prompt, progress, direct boot -----------------------

struct SlotAnswer {
    const char* name;
    const char* typed;
    int slot;
};


class InstallerSlotPrompt : public Installer, public ::testing::WithParamInterface<SlotAnswer> {};

TEST_P(InstallerSlotPrompt, TakesTheFirstCharacterOfTheAnswer) {
    const Bytes first = section(ImageType::Application, 3000, 1);
    const Bytes second = section(ImageType::Application, 4000, 2);
    const Outcome run = install(join({first, second}), 0, 0, GetParam().typed);
    EXPECT_EQ(run.result, 1) << run.out;
    const int slot = GetParam().slot;
    // The second application goes to the same slot without a question.
    EXPECT_EQ(read_file(install::slot_path(slot)), second);
    const std::string prompt = "Install image as image 1 or 2 (hit return to just boot image): ";
    EXPECT_EQ(run.out.find(prompt), run.out.rfind(prompt));
    EXPECT_EQ(board->eeprom(256), slot);
}

INSTANTIATE_TEST_SUITE_P(Answers, InstallerSlotPrompt,
                         ::testing::Values(SlotAnswer{"answer_12_means_slot_1", "12\n", 1},
                                           SlotAnswer{"answer_2_means_slot_2", "2\n", 2},
                                           SlotAnswer{"a_long_answer_counts_by_its_first_char",
                                                      "2222222222222222222222222222222222222\n",
                                                      2}),
                         [](const auto& info) { return std::string(info.param.name); });

struct BootAnswer {
    const char* name;
    const char* typed;
    std::uint16_t hdr_len = 0;  // the application's extended header, 0: none
};


class InstallerDirectBoot : public Installer, public ::testing::WithParamInterface<BootAnswer> {};

// Any other answer boots the application without installing it, and the
// sections after it are not looked at. The launch itself runs nothing in
// this root (there is no shell) and ends in the reboot path's exit.
TEST_P(InstallerDirectBoot, BootsTheApplicationWithoutInstallingIt) {
    const std::uint16_t hdr_len = GetParam().hdr_len;
    const Bytes app = section(ImageType::Application, 3000, 0x01020304, hdr_len);
    const Bytes kernel = section(ImageType::Kernel, 1000);
    write_file(kContainer, join({app, kernel}));
    const auto boot = [] {
        StdinFeed feed(GetParam().typed);
        if (!std::freopen("/tmp/out.txt", "w", stdout)) std::exit(4);
        processTesselImage(kContainer, 0, 0);
        std::exit(3);  // never reached: the launch does not come back
    };
    EXPECT_EXIT(boot(), ::testing::ExitedWithCode(0), "");
    const auto out = read_file("/tmp/out.txt");
    const std::string text(out.begin(), out.end());
    EXPECT_NE(text.find("Booting downloaded image\nImage ready to boot...\n"), std::string::npos)
        << text;
    EXPECT_EQ(text.find("Installing Kernel"), std::string::npos);
    EXPECT_EQ(read_file("/tmp/lumeximage.tar.gz"),
              Bytes(app.begin() + (hdr_len ? hdr_len : 16), app.end()));
    EXPECT_TRUE(read_file(install::slot_path(1)).empty());
    EXPECT_EQ(partition("mtd-kernel"), Bytes(0x80000, 0xFF));
}

INSTANTIATE_TEST_SUITE_P(Answers, InstallerDirectBoot,
                         ::testing::Values(BootAnswer{"an_empty_line", "\n"},
                                           BootAnswer{"a_line_starting_with_a_blank", " 1\n"},
                                           BootAnswer{"an_answer_of_3", "3\n"},
                                           BootAnswer{"the_end_of_input", ""},
                                           BootAnswer{"an_empty_line_behind_an_extended_header",
                                                      "\n", 28}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Installer, DirectBootOfAnArchiveTooLargeForRamFailsWithTheErrorNumber) {
    // A root whose /tmp holds 1 MiB, as a nearly full RAM file system would.
    root.reset();
    root.emplace("1m");
    board.reset();
    board.emplace();
    power_cycle();
    const Outcome run = install(section(ImageType::Application, 2 << 20), 0, 0, "\n");
    EXPECT_EQ(run.result, 0);
    EXPECT_NE(run.out.find("Booting downloaded image\nImage unpack failed (err 28)\n"),
              std::string::npos)
        << run.out;
}

TEST_F(Installer, ShowsTheSlotWriteProgressChunkByChunk) {
    const Bytes app = section_of_size(ImageType::Application, 100000);
    const Outcome run = install(app, 0, 1);
    EXPECT_EQ(run.result, 1);
    EXPECT_NE(
        run.out.find("Installing Application: Installing image as image1: "
                     "    \b\b\b\b065%\b\b\b\b100%\b\b\b\b100%\n\nImage1 updated succeeded\n"),
        std::string::npos)
        << run.out;
    EXPECT_EQ(read_file(install::slot_path(1)), app);
    EXPECT_EQ(board->eeprom(256), 1);
}

TEST_F(Installer, AFailedSlotWriteKeepsTheBootSlot) {
    board->set_eeprom(256, 2);
    sim::fail_nth(sim::FlashOp::Write, 2);  // the second 64 KiB chunk
    const Outcome run = install(section_of_size(ImageType::Application, 100000), 0, 1);
    EXPECT_EQ(run.result, 0);
    EXPECT_NE(run.out.find("Image1 update failed (err 5)\n"), std::string::npos) << run.out;
    EXPECT_EQ(board->eeprom(256), 2);
}

// Programming NOR over unerased cells ANDs the bits: only a block erased
// first (and written whole after) can come out byte-exact from a partition
// full of other data.
TEST_F(Installer, ErasesEachBlockOnceBeforeProgrammingIt) {
    board->set_partition("mtd-kernel", Bytes(0x80000, 0x5A));
    const Bytes kernel = section(ImageType::Kernel, 3 * SimBoard::kBlock - 100);
    ASSERT_EQ(install(kernel).result, 1);
    const Bytes flashed = partition("mtd-kernel");
    EXPECT_TRUE(starts_with(flashed, kernel));
    EXPECT_TRUE(std::all_of(flashed.begin() + static_cast<long>(kernel.size()),
                            flashed.begin() + 3 * SimBoard::kBlock,
                            [](std::uint8_t b) { return b == 0x5A; }));
    const auto erases = sim::erase_counts("/dev/mtd-kernel");
    EXPECT_EQ(erases, (std::vector<std::uint32_t>{1, 1, 1, 0, 0, 0, 0, 0}));
}

// --- stored header copies ---------------------------------------------------

// The copies' places are checked through the version display (e2e); here
// what a copy that cannot be had looks like.
TEST_F(Installer, StoredHeaderCopyOfAnUnknownTypeOrNoSlotFileIsRefused) {
    std::uint8_t copy[16];
    EXPECT_EQ(read_flash_image_header(image::code(ImageType::Application), copy, 2), 0);
    EXPECT_EQ(std::count(copy, copy + 16, 0), 16);
    StdoutCapture out;
    EXPECT_EQ(read_flash_image_header(0x07504754, copy, 0), 0);
    EXPECT_EQ(out.text(), "Unknown image type 0x7504754 \n");
    EXPECT_EQ(read_flash_image_header(image::code(ImageType::Kernel), nullptr, 0), 0);
}

}  // namespace
