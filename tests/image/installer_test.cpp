// The installer on containers made by our own section writer, into the
// simulated NOR partitions and the slot files of a private /user. Each test
// runs in a root of its own (see switch_root.hpp).
#include "image/installer.hpp"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>

#include "hw/flash.hpp"
#include "hw/i2c.hpp"
#include "image/container.hpp"
#include "image/crc.hpp"
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
using testing_support::PrintTo;
using testing_support::read_file;
using testing_support::SimBoard;
using testing_support::starts_with;
using testing_support::StdinFeed;
using testing_support::StdoutCapture;
using testing_support::write_file;
using Bytes = std::vector<std::uint8_t>;

constexpr const char* kContainer = "/scratch/container.img";
const Bytes kErasedKernel(0x80000, 0xFF);

// The switch's fixed waits (the EEPROM's write time, the pauses of the
// launch) on a fast clock; read by the simulator at its first wait.
const bool fast_clock = ::setenv("BOOTLAUNCH_SIM_CLOCK", "50", 0) == 0;

Bytes section(ImageType type, std::size_t payload_size, std::uint32_t id = 0x01020304,
              std::uint16_t hdr_len = 0, std::uint8_t seed = 1) {
    Bytes p(payload_size);
    for (std::size_t i = 0; i < p.size(); ++i)
        p[i] = static_cast<std::uint8_t>(seed + i * 7 + (i >> 9));
    return image::build_section({image::code(type), id, hdr_len, type == ImageType::BootLoader}, p);
}

struct Outcome {
    int result;
    std::string out;
};

// Whether the run printed `text`; its whole output when not.
::testing::AssertionResult said(const Outcome& run, const std::string& text) {
    if (run.out.find(text) != std::string::npos) return ::testing::AssertionSuccess() << run.out;
    return ::testing::AssertionFailure() << "no \"" << text << "\" in\n" << run.out;
}

class Installer : public testing_support::SwitchTest<> {
protected:
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

// Programming NOR over unerased cells ANDs the bits: only a block erased
// first (and written whole after) comes out byte-exact from a partition full
// of other data, which the rest of its last block keeps.
TEST_F(Installer, PutsEverySectionTypeWhereItBelongsByteForByte) {
    board->set_partition("mtd-kernel", Bytes(0x80000, 0x5A));
    // A boot loader whose payload fills its partition to the last byte.
    const Bytes uboot = section(ImageType::BootLoader, 0x80000, 0x07000001, 36);
    const Bytes kernel = section(ImageType::Kernel, 150000, 0x04130001);
    const Bytes rfs = section(ImageType::RootFs, 70000, 0x04130002, 0, 9);
    const Bytes dtb = section(ImageType::DeviceTree, 3000, 0x04130003, 32);
    const Bytes diags = section(ImageType::Diagnostics, 9000, 0x01000003);
    // 100000 bytes in all: the slot is written in two chunks.
    const Bytes app = section(ImageType::Application, 100000 - 16, 0x02010007);
    const Outcome run = install(join({uboot, kernel, rfs, dtb, diags, app}), 0, 2);

    EXPECT_EQ(run.result, 1) << run.out;
    const Bytes flashed_kernel = partition("mtd-kernel");
    EXPECT_TRUE(starts_with(flashed_kernel, kernel));
    EXPECT_TRUE(std::all_of(flashed_kernel.begin() + static_cast<long>(kernel.size()),
                            flashed_kernel.end(), [](std::uint8_t b) { return b == 0x5A; }));
    EXPECT_EQ(sim::erase_counts("/dev/mtd-kernel"),
              (std::vector<std::uint32_t>{1, 1, 1, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(starts_with(partition("mtd-rfs"), rfs));
    EXPECT_TRUE(starts_with(partition("mtd-devicetree"), dtb));
    EXPECT_TRUE(starts_with(partition("mtd-rescue"), diags));
    // The boot loader goes without its (extended) section header; its
    // header copy lands at partition offset 240.
    const Bytes flashed = partition("mtd-uboot");
    EXPECT_EQ(flashed, Bytes(uboot.begin() + 36, uboot.end()));
    EXPECT_TRUE(std::equal(uboot.begin() + 4, uboot.begin() + 16, flashed.begin() + 244));
    EXPECT_EQ(read_file(install::slot_path(2)), app);
    EXPECT_EQ(board->eeprom(256), 2);
    for (const char* line :
         {"\nExtracting images ... Do *NOT* power cycle the switch.\n", "Installing Boot Loader: ",
          "Installing Kernel: ", "Installing Root Filesystem: ", "Installing Device Tree: ",
          "Installing Diagnostics: ", "done\n", "Installing Application: ",
          "Installing image as image2:     \b\b\b\b065%\b\b\b\b100%\b\b\b\b100%\n\nImage2 updated "
          "succeeded\n",
          "File processed\n"})
        EXPECT_TRUE(said(run, line));
}

// A damaged section stops the run, keeping what was installed before it;
// the checksum is judged before the size limit.
TEST_F(Installer, StopsAtADamagedSectionKeepingWhatCameBefore) {
    const Bytes rfs = section(ImageType::RootFs, 5000);
    Bytes dtb = section(ImageType::DeviceTree, 0x40001 - 16);
    dtb[2000] ^= 0x10;
    const Outcome run = install(join({rfs, dtb, section(ImageType::Kernel, 100)}), 0, 1);
    EXPECT_EQ(run.result, 0);
    char message[96];
    std::snprintf(message, sizeof message,
                  "Installing Device Tree: Bad crc for DFT: 0x%08x, voiding",
                  image::gen_crc_bitwise(dtb.data() + 4, static_cast<std::uint32_t>(dtb.size() - 4),
                                         image::kCrcInit));
    EXPECT_TRUE(said(run, message));
    EXPECT_FALSE(said(run, "too big"));
    EXPECT_TRUE(starts_with(partition("mtd-rfs"), rfs));
    EXPECT_EQ(partition("mtd-devicetree"), Bytes(0x40000, 0xFF));
    EXPECT_EQ(partition("mtd-kernel"), kErasedKernel);
}

// A flash operation that fails, or a worn NOR block that keeps its bits set
// and reports the write as done (the read-back must catch it), fails the
// section before any success line and keeps the boot slot.
struct FlashFault {
    const char* name;
    ImageType type;
    const char* worn;  // the partition whose block 1 is worn (the read-back
                       // fails at 0x00010000), or else:
    sim::FlashOp op;   // the second operation of this kind fails
    const char* failure;
};

class InstallerFlashFault : public Installer, public ::testing::WithParamInterface<FlashFault> {};

TEST_P(InstallerFlashFault, FailsTheSectionAndEndsTheRun) {
    const FlashFault& c = GetParam();
    board->set_eeprom(256, 2);
    if (c.worn) {
        sim::wear_out_block(std::string("/dev/") + c.worn, 1);
    } else {
        sim::fail_nth(c.op, 2);
    }
    const Bytes s = section(c.type, 3 * SimBoard::kBlock);
    const Outcome run = install(join({s, section(ImageType::Application, 100)}), 0, 1);
    EXPECT_EQ(run.result, 0);
    const std::string verify = c.worn ? "Flash Write verify failed at 0x00010000.\n\n" : "";
    EXPECT_TRUE(said(run, verify + c.failure));
    EXPECT_FALSE(said(run, "100%") || said(run, "done") || said(run, "succeeded"));
    EXPECT_EQ(board->eeprom(256), 2);
}

constexpr auto kWrite = sim::FlashOp::Write;
INSTANTIATE_TEST_SUITE_P(
    Faults, InstallerFlashFault,
    ::testing::Values(FlashFault{"worn_kernel", ImageType::Kernel, "mtd-kernel", kWrite,
                                 "kernel image update failed\n"},
                      FlashFault{"failed_erase", ImageType::Kernel, nullptr, sim::FlashOp::Erase,
                                 "Flash Write mtd erase failed.\n\nkernel image update failed\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// The kernel's limit is on the whole section, header included.
TEST_F(Installer, RefusesAKernelOneByteOverItsLimit) {
    const Outcome run = install(section(ImageType::Kernel, 0x300001 - 16));
    EXPECT_EQ(run.result, 0);
    EXPECT_TRUE(said(run, "KERNEL image is too big for flash (3145729 > 3145728)\n"));
    EXPECT_EQ(partition("mtd-kernel"), kErasedKernel);
}

// A direct boot into a full RAM file system says why it failed and starts
// nothing.
TEST_F(Installer, DirectBootOfAnArchiveTooLargeForRamFailsWithTheErrorNumber) {
    // A root whose /tmp holds 1 MiB, as a nearly full RAM file system would.
    root.reset();
    root.emplace("1m");
    board.reset();
    board.emplace();
    flash_forget();
    api_flash_init();
    const Outcome run = install(section(ImageType::Application, 2 << 20), 0, 0, "\n");
    EXPECT_EQ(run.result, 0);
    EXPECT_TRUE(said(run, "Booting downloaded image\nImage unpack failed (err 28)\n"));
}

// An XMODEM sender pads its last block with 0x1A and the receiver keeps the
// padding: the walk then meets a "header" stating some 437 MB. With the
// address space limited, a buffer of that size cannot be had: the run can
// only succeed by not asking for one.
TEST_F(Installer, EndsCleanlyOnXmodemPaddingWithoutAllocatingItsStatedSize) {
    Bytes download = section(ImageType::Kernel, 1000);
    download.resize(download.size() + 100, 0x1A);
    rlimit usual{};
    getrlimit(RLIMIT_AS, &usual);
    rlimit limited = usual;
#if !defined(__SANITIZE_ADDRESS__) && !defined(BOOTLAUNCH_UNDER_EMULATOR)
    limited.rlim_cur = 256u << 20;
#endif
    setrlimit(RLIMIT_AS, &limited);
    const Outcome run = install(download);
    setrlimit(RLIMIT_AS, &usual);
    EXPECT_EQ(run.result, 1) << run.out;
    EXPECT_TRUE(run.out.ends_with("100%\nFile processed\n")) << run.out;
}

// --- the application: the slot question -------------------------------------

struct SlotAnswer {
    const char* name;
    const char* typed;
    int slot;                   // 0: the application boots without being installed
    std::uint16_t hdr_len = 0;  // the application's extended header, 0: none
};

class InstallerSlotQuestion : public Installer, public ::testing::WithParamInterface<SlotAnswer> {};

// The first character of the answer names the slot, and a second application
// goes to the same slot without a question. Any other answer boots the first
// application without installing it, and the sections after it are not
// looked at; the launch runs nothing in this root (there is no shell) and
// ends in the reboot path's exit.
TEST_P(InstallerSlotQuestion, InstallsIntoTheSlotNamedOrBootsTheApplication) {
    const SlotAnswer& c = GetParam();
    const Bytes app = section(ImageType::Application, 3000, 1, c.hdr_len);
    const Bytes second = section(ImageType::Application, 4000, 2);
    const Bytes container = join({app, second, section(ImageType::Kernel, 1000)});
    if (c.slot) {
        const Outcome run = install(container, 0, 0, c.typed);
        EXPECT_EQ(run.result, 1) << run.out;
        EXPECT_EQ(read_file(install::slot_path(c.slot)), second);
        const std::string prompt =
            "Install image as image 1 or 2 (hit return to just boot image): ";
        EXPECT_EQ(run.out.find(prompt), run.out.rfind(prompt));
        EXPECT_EQ(board->eeprom(256), c.slot);
        return;
    }
    write_file(kContainer, container);
    const auto boot = [&c] {
        StdinFeed feed(c.typed);
        if (!std::freopen("/tmp/out.txt", "w", stdout)) std::exit(4);
        processTesselImage(kContainer, 0, 0);
        std::exit(3);  // never reached: the launch does not come back
    };
    EXPECT_EXIT(boot(), ::testing::ExitedWithCode(0), "");
    const auto out = read_file("/tmp/out.txt");
    const Outcome run{0, std::string(out.begin(), out.end())};
    EXPECT_TRUE(said(run, "Booting downloaded image\nImage ready to boot...\n"));
    EXPECT_FALSE(said(run, "Installing Kernel"));
    EXPECT_EQ(read_file("/tmp/lumeximage.tar.gz"),
              Bytes(app.begin() + (c.hdr_len ? c.hdr_len : 16), app.end()));
    EXPECT_TRUE(read_file(install::slot_path(1)).empty());
    EXPECT_EQ(partition("mtd-kernel"), kErasedKernel);
}

// With trial boots on, a slot's new image goes beside the old one only when
// /user holds both; on a fuller flash it is written over the old one, and
// the console says so.
TEST_F(Installer, WithTrialBootsAFullFlashWritesOverTheOldImageAndSaysSo) {
    ASSERT_EQ(::mount("small-user", "/user", "tmpfs", 0, "size=768k"), 0);
    const Bytes old = section(ImageType::Application, 300000, 0x01000001, 0, 1);
    const Bytes now = section(ImageType::Application, 300000, 0x01000009, 0, 9);
    ::mkdir(install::kSlotDir, 0755);
    write_file(install::slot_path(1), old);
    boot_limit = 3;
    const Outcome run = install(now, 0, 1);
    boot_limit = 0;
    bootstate::forget_start();
    EXPECT_EQ(run.result, 1) << run.out;
    EXPECT_TRUE(said(run,
                     "Not enough room on /user to keep image1 while it is replaced: "
                     "writing over it\n"));
    EXPECT_EQ(read_file(install::slot_path(1)), now);
    EXPECT_FALSE(std::filesystem::exists("/user/images/image1.new"));
    const auto record = bootstate::load();
    ASSERT_TRUE(record);
    EXPECT_EQ(record->slot(1).status, bootstate::Status::Trial);
}

// A download is checked whole before the installer runs: any other file, a
// section that fails its checksum or is cut short (behind good ones), and for
// zero-touch a container without an application are refused with one line;
// a signed container's manifest and a sender's padding are stepped over.
TEST_F(Installer, ChecksADownloadWholeBeforeAnythingIsWritten) {
    const Bytes kernel = section(ImageType::Kernel, 5000);
    const Bytes app = section(ImageType::Application, 70000);
    const Bytes manifest = image::build_section({0x07504754, 0, 0, false}, Bytes(200, 3));
    Bytes damaged = app;
    damaged[30000] ^= 1;
    const Bytes cut(app.begin(), app.end() - 1);
    struct Case {
        Bytes file;
        bool need_application;
        bool whole;
        const char* line;
    };
    const Case cases[] = {
        {join({manifest, kernel, app, Bytes(900, 0x1A)}), true, true, ""},
        {Bytes(4096, 'x'), false, false, "The file is not an image container: nothing installed\n"},
        {join({kernel, damaged}), false, false,
         "The image's app section at byte 5016 is damaged or cut short: nothing installed\n"},
        {join({kernel, cut}), false, false, "The image's app section at byte 5016 is damaged"},
        {kernel, false, true, ""},
        {kernel, true, false, "The image holds no application: nothing installed\n"},
    };
    for (const Case& c : cases) {
        write_file(kContainer, c.file);
        StdoutCapture out;
        EXPECT_EQ(install::container_whole(kContainer, c.need_application), c.whole) << c.line;
        const std::string text = out.text();
        EXPECT_EQ(text.find(c.line) != std::string::npos, true) << text;
        if (c.whole) {
            EXPECT_EQ(text, "");
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Answers, InstallerSlotQuestion,
    ::testing::Values(SlotAnswer{"answer_12_means_slot_1", "12\n", 1},
                      SlotAnswer{"an_answer_of_3_boots_it", "3\n", 0},
                      SlotAnswer{"an_empty_line_boots_it_behind_an_extended_header", "\n", 0, 28}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
