// The launcher's hardware layer, production backend, on a real e500v2 kernel:
// the MTD partitions of the CFI NOR flash, the VPD EEPROM on the machine's
// I2C controller, the I/O expander (i2c-stub) and the boot settings from an
// environment partition that mkenvimage wrote.
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "board_layout.hpp"
#include "hw/flash.hpp"
#include "hw/i2c.hpp"
#include "launch/settings.hpp"
#include "platform/device.hpp"
#include "support/mtd_answers.hpp"
#include "support/testing.hpp"

namespace ks = kernel_stage;
using Bytes = std::vector<std::uint8_t>;

namespace {

using testing_support::PrintTo;

constexpr std::uint32_t B = ks::kBlock;

std::string node(const char* name) {
    return std::string("/dev/mtd-") + name;
}

std::uint32_t size_of(const char* name) {
    for (const auto& p : ks::kPartitions)
        if (std::string(p.name) == name) return p.size;
    return 0;
}

Bytes read_flash(int handle, std::uint32_t offset, std::uint32_t length) {
    Bytes b(length);
    EXPECT_EQ(api_flash_read(b.data(), handle, offset, length), 0);
    return b;
}

// ---- Partition geometry as the kernel's MTD layer reports it ----

class PartitionGeometry : public ::testing::TestWithParam<ks::Partition> {};

TEST_P(PartitionGeometry, IsTheSwitchSizeInNorBlocksOf64KiB) {
    const ks::Partition& p = GetParam();
    dev::UniqueFd fd(dev::open(node(p.name).c_str(), flash::kSyncOpenFlags));
    ASSERT_GE(fd.get(), 0) << node(p.name) << ": " << errno;
    mtd_info_user info{};
    ASSERT_EQ(dev::ioctl(fd.get(), MEMGETINFO, &info), 0) << errno;
    EXPECT_EQ(info.type, MTD_NORFLASH);
    EXPECT_EQ(info.size, p.size);
    EXPECT_EQ(info.erasesize, B);
    EXPECT_TRUE(info.flags & MTD_WRITEABLE);
}

INSTANTIATE_TEST_SUITE_P(Each, PartitionGeometry, ::testing::ValuesIn(ks::kPartitions),
                         [](const auto& info) { return std::string(info.param.name); });

class Flash : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(api_flash_init(), 0); }
    void TearDown() override { flash_forget(); }
    // The first block of the partition behind rfs, as the image left it.
    void expect_rescue_untouched() {
        EXPECT_EQ(read_flash(rescue_fd, 0, B), ks::pattern(ks::kRescueSeed, 0, B));
    }
};

TEST_F(Flash, LauncherOpensEveryPartitionAndMeasuresTheKernelOne) {
    for (int fd : {uboot_fd, uboot_env_fd, device_tree_fd, kernel_fd, rfs_fd, rescue_fd})
        EXPECT_GE(fd, 0);
    EXPECT_EQ(flash_fd, kernel_fd);
    EXPECT_EQ(theFlash.size, 0x300000u);
    EXPECT_EQ(theFlash.sector_size, B);
    EXPECT_EQ(theFlash.sector_shift, 16u);
    EXPECT_EQ(theFlash.sectors, 48u);
    EXPECT_STREQ(theFlash.desc, "3MB w/48-64KB sectors");
    std::uint32_t size = 0;
    ASSERT_EQ(mtd_get_size(rfs_fd, &size), 1);
    EXPECT_EQ(size, size_of("rfs"));
}

TEST_F(Flash, EachPartitionStartsWhereTheFlashImagePutItsContent) {
    // Both ends of the boot loader, the first bytes of the root file system
    // and of the recovery partition: a shifted partition reads other bytes.
    const std::uint32_t uboot = size_of("uboot");
    EXPECT_EQ(read_flash(uboot_fd, 0, 256), ks::pattern(ks::kUbootSeed, 0, 256));
    EXPECT_EQ(read_flash(uboot_fd, uboot - 256, 256), ks::pattern(ks::kUbootSeed, uboot - 256, 256));
    EXPECT_EQ(read_flash(rfs_fd, 0, 4096), ks::pattern(ks::kRfsSeed, 0, 4096));
    EXPECT_EQ(read_flash(rescue_fd, 0, 4096), ks::pattern(ks::kRescueSeed, 0, 4096));
    EXPECT_EQ(read_flash(device_tree_fd, 0, 64), Bytes(64, 0xFF));
}

// ---- Block-wise updates of the root file system partition ----

class FlashUpdate : public Flash {
protected:
    int write(const Bytes& data, std::uint32_t offset, bool progress, std::string* console) {
        ::testing::internal::CaptureStdout();
        const int r = api_flash_write(data.data(), rfs_fd, offset,
                                      static_cast<std::uint32_t>(data.size()), progress);
        *console = ::testing::internal::GetCapturedStdout();
        return r;
    }
};

TEST_F(FlashUpdate, EraseClearsTheWholeBlocksOfTheRangeAndNothingElse) {
    const std::uint32_t base = 2 * B;
    const Bytes before = read_flash(rfs_fd, base - 16, 2 * B + 32);
    ASSERT_EQ(api_flash_erase(rfs_fd, base + 10, B), 0);  // touches blocks 2 and 3
    const Bytes after = read_flash(rfs_fd, base - 16, 2 * B + 32);
    EXPECT_EQ(Bytes(after.begin(), after.begin() + 16), Bytes(before.begin(), before.begin() + 16));
    EXPECT_EQ(Bytes(after.begin() + 16, after.begin() + 16 + 2 * B), Bytes(2 * B, 0xFF));
    EXPECT_EQ(Bytes(after.end() - 16, after.end()), Bytes(before.end() - 16, before.end()));
}

TEST_F(FlashUpdate, PartOfTwoBlocksIsReplacedAndTheirOtherBytesSurvive) {
    const std::uint32_t base = 5 * B;
    const std::uint32_t offset = 6 * B - 50;  // 100 bytes across the boundary of blocks 5 and 6
    Bytes expected = read_flash(rfs_fd, base, 2 * B);
    const Bytes data = ks::pattern(0xA7, 0, 100);
    std::copy(data.begin(), data.end(), expected.begin() + (offset - base));
    std::string console;
    ASSERT_EQ(write(data, offset, false, &console), 0) << console;
    EXPECT_EQ(console, "");
    EXPECT_EQ(read_flash(rfs_fd, base, 2 * B), expected);
}

TEST_F(FlashUpdate, ProgressIsShownBlockByBlockAndTheBlocksReadBack) {
    const Bytes data = ks::pattern(0x3C, 0, 3 * B);
    std::string console;
    ASSERT_EQ(write(data, 8 * B, true, &console), 0);
    EXPECT_EQ(console, "     \b\b\b\b000%\b\b\b\b033%\b\b\b\b066%\b\b\b\b100%\n");
    EXPECT_EQ(read_flash(rfs_fd, 8 * B, 3 * B), data);
}

TEST_F(FlashUpdate, WritePastTheEndFailsAtTheEraseAndSparesTheNextPartition) {
    const std::uint32_t end = size_of("rfs");
    const Bytes data = ks::pattern(0x99, 0, 32);
    std::string console;
    EXPECT_EQ(write(data, end - 16, false, &console), -1);
    EXPECT_EQ(console, "Flash Write mtd erase failed.\n\n");
    // The last block of rfs was updated before the step that failed.
    EXPECT_EQ(read_flash(rfs_fd, end - 16, 16), Bytes(data.begin(), data.begin() + 16));
    expect_rescue_untouched();
}

TEST_F(FlashUpdate, ErasePastTheEndFailsAndSparesTheNextPartition) {
    const std::uint32_t end = size_of("rfs");
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(api_flash_erase(rfs_fd, end - B, 2 * B), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Flash Erase mtd erase failed.\n");
    EXPECT_EQ(read_flash(rfs_fd, end - B, B), Bytes(B, 0xFF));
    expect_rescue_untouched();
}

// ---- The MTD character device at its edges: the table the simulated flash is held to ----

class MtdEdges : public Flash {};

TEST_F(MtdEdges, ReadsAndWritesAreCutShortAtThePartitionEnd) {
    const std::uint32_t end = size_of("rfs");
    std::uint8_t buf[64];
    EXPECT_EQ(dev::pread(rfs_fd, buf, sizeof buf, end), 0);
    EXPECT_EQ(dev::pread(rfs_fd, buf, sizeof buf, end + B), 0);
    EXPECT_EQ(dev::pread(rfs_fd, buf, sizeof buf, end - 8), 8);

    erase_info_user last{end - B, B};
    ASSERT_EQ(dev::ioctl(rfs_fd, MEMERASE, &last), 0);
    const Bytes data = ks::pattern(0x42, 0, sizeof buf);
    EXPECT_EQ(dev::pwrite(rfs_fd, data.data(), data.size(), end - 8), 8);
    EXPECT_EQ(read_flash(rfs_fd, end - 8, 8), Bytes(data.begin(), data.begin() + 8));
    errno = 0;
    EXPECT_EQ(dev::pwrite(rfs_fd, data.data(), data.size(), end), -1);
    EXPECT_EQ(errno, ENOSPC);
    errno = 0;
    EXPECT_EQ(dev::pwrite(rfs_fd, data.data(), 0, end), -1);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(read_flash(rescue_fd, 0, 64), ks::pattern(ks::kRescueSeed, 0, 64));
}

class MtdErase : public Flash, public ::testing::WithParamInterface<mtd_answers::EraseCase> {};

TEST_P(MtdErase, Answers) {
    const auto& c = GetParam();
    const std::uint32_t at = c.start_in(size_of("rfs"));
    erase_info_user e{at, c.length};
    errno = 0;
    const int r = dev::ioctl(rfs_fd, MEMERASE, &e);
    if (c.error == 0) {
        EXPECT_EQ(r, 0) << errno;
    } else {
        EXPECT_EQ(r, -1);
        EXPECT_EQ(errno, c.error);
    }
    if (c.erases) {
        EXPECT_EQ(read_flash(rfs_fd, at, c.length), Bytes(c.length, 0xFF));
    }
    expect_rescue_untouched();
}

INSTANTIATE_TEST_SUITE_P(Request, MtdErase, ::testing::ValuesIn(mtd_answers::kEraseCases),
                         [](const auto& info) { return mtd_answers::case_name(info.param); });

TEST(MtdReadOnly, AReadOnlyOpenReadsButRefusesErasesAndWrites) {
    dev::UniqueFd fd(dev::open("/dev/mtd-rescue", O_RDONLY));
    ASSERT_GE(fd.get(), 0) << errno;
    mtd_info_user info{};
    EXPECT_EQ(dev::ioctl(fd.get(), MEMGETINFO, &info), 0);
    std::uint8_t buf[16];
    EXPECT_EQ(dev::pread(fd.get(), buf, sizeof buf, 0), 16);
    erase_info_user e{0, B};
    errno = 0;
    EXPECT_EQ(dev::ioctl(fd.get(), MEMERASE, &e), -1);
    EXPECT_EQ(errno, EPERM);
    errno = 0;
    EXPECT_EQ(dev::pwrite(fd.get(), buf, sizeof buf, 0), -1);
    EXPECT_EQ(errno, EBADF);
    dev::UniqueFd rw(dev::open("/dev/mtd-rescue", O_RDWR));
    Bytes first(B);
    ASSERT_EQ(dev::pread(rw.get(), first.data(), B, 0), static_cast<ssize_t>(B));
    EXPECT_EQ(first, ks::pattern(ks::kRescueSeed, 0, B));
}

// ---- The VPD EEPROM through the kernel's I2C stack ----

class Vpd : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(api_i2c_init(), 0); }
    void TearDown() override { api_i2c_close(); }
};

TEST_F(Vpd, ReadsTheBytesTheBoardCameWith) {
    EXPECT_EQ(api_get_image(), 2);
    EXPECT_EQ(api_get_usbboot(), vpd::kUsbBootEnabled);
    std::uint8_t booted = 0;
    ASSERT_EQ(get_vpd_offset(vpd::kBootedImage, 1, &booted), 1);
    EXPECT_EQ(booted, 1);
    Bytes head(ks::kVpdFilled);
    ASSERT_EQ(api_eeprom_read(head.data(), 0, ks::kVpdFilled), 1);
    EXPECT_EQ(head, ks::pattern(ks::kVpdSeed, 0, ks::kVpdFilled));
    // A read across the EEPROM's 128-byte page boundary.
    Bytes across(16);
    ASSERT_EQ(api_eeprom_read(across.data(), 120, 16), 1);
    EXPECT_EQ(across, Bytes(16, 0xFF));
}

struct VpdWrite {
    const char* name;
    std::uint16_t offset;
    std::uint8_t value;
};

class VpdWrites : public Vpd, public ::testing::WithParamInterface<VpdWrite> {};

TEST_P(VpdWrites, IsStoredAndReadsBack) {
    const VpdWrite& w = GetParam();
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(set_vpd_offset(w.offset, w.value), 3);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    std::uint8_t got = 0;
    ASSERT_EQ(get_vpd_offset(w.offset, 1, &got), 1);
    EXPECT_EQ(got, w.value);
    if (w.offset == vpd::kBootSlot) {
        EXPECT_EQ(api_get_image(), w.value);
    }
    if (w.offset == vpd::kUsbBoot) {
        EXPECT_EQ(api_get_usbboot(), w.value);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Byte, VpdWrites,
    ::testing::Values(VpdWrite{"boot_slot_set_to_1", vpd::kBootSlot, 1},
                      VpdWrite{"boot_slot_set_back_to_2", vpd::kBootSlot, 2},
                      VpdWrite{"booted_image_set_to_usb", vpd::kBootedImage, 3},
                      VpdWrite{"booted_image_set_to_flash_image", vpd::kBootedImage, 4},
                      VpdWrite{"usb_boot_turned_off", vpd::kUsbBoot, 0x00},
                      VpdWrite{"usb_boot_turned_on", vpd::kUsbBoot, vpd::kUsbBootEnabled}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Vpd, LauncherSetBootSlotAndBootedImageThroughItsOwnCalls) {
    EXPECT_EQ(api_set_image(1), 3);
    EXPECT_EQ(api_get_image(), 1);
    EXPECT_EQ(api_set_booted_image(2), 3);
    std::uint8_t booted = 0;
    ASSERT_EQ(get_vpd_offset(vpd::kBootedImage, 1, &booted), 1);
    EXPECT_EQ(booted, 2);
    EXPECT_EQ(api_set_image(2), 3);
}

// The expander's registers through the kernel's SMBus calls (i2c-stub holds
// them): a VPD write first drives the write-protect line low, from the pins.
class Expander : public Vpd {
protected:
    void SetUp() override {
        Vpd::SetUp();
        fd_ = dev::UniqueFd(dev::open("/dev/i2c-1", O_RDWR));
        ASSERT_GE(fd_.get(), 0) << errno;
        ASSERT_EQ(dev::ioctl(fd_.get(), I2C_SLAVE, 0x20ul), 0) << errno;
    }
    void set(std::uint8_t reg, std::uint8_t value) {
        ASSERT_EQ(i2c_smbus_write_byte_data(fd_.get(), reg, value), 0) << errno;
    }
    int get(std::uint8_t reg) { return i2c_smbus_read_byte_data(fd_.get(), reg); }
    dev::UniqueFd fd_;
};

TEST_F(Expander, VpdWriteClearsOnlyTheWriteProtectBitOfThePinsInOutputPort4) {
    set(vpd::kExpanderInputPort4, 0xFF);
    set(vpd::kExpanderOutputPort4, 0xFF);
    EXPECT_EQ(api_set_image(2), 3);
    EXPECT_EQ(get(vpd::kExpanderOutputPort4), 0xF7);
    EXPECT_EQ(get(vpd::kExpanderInputPort4), 0xFF);

    set(vpd::kExpanderInputPort4, 0x5C);
    EXPECT_EQ(api_set_booted_image(1), 3);
    EXPECT_EQ(get(vpd::kExpanderOutputPort4), 0x54);
}

TEST_F(Vpd, AnAddressNobodyAnswersFailsTheReadWithAMessage) {
    std::uint8_t buf[4] = {};
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(i2c_read(0, 0xA0, 0, 4, 2, buf), 0);  // 0x50: no part there
    const std::string out = ::testing::internal::GetCapturedStdout();
    // The errno depends on the controller (the machine's times out).
    EXPECT_EQ(out.rfind("I2C error - device 0xa0 writing bus 0 offset 0: ", 0), 0u) << out;
}

// ---- Boot settings from the environment partition ----

TEST(BootSettings, AreReadFromTheEnvironmentMkenvimageWrote) {
    ASSERT_EQ(api_flash_init(), 0);
    settings::reset_boot_settings();
    parse_uboot_env();
    flash_forget();
    EXPECT_EQ(gdbserver_enable, 1);
    EXPECT_EQ(gdb_enable, 1);
    EXPECT_EQ(gdbport, 2345);
    EXPECT_EQ(shell_enable, 0);
    EXPECT_EQ(memchk_enable, 1);
    EXPECT_EQ(rescue_enable, 1);
    EXPECT_EQ(standalone_diags, 0);
    settings::reset_boot_settings();
}

}  // namespace
