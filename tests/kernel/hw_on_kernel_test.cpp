// The launcher's hardware layer, production backend, on a real e500v2 kernel:
// the MTD partitions of the CFI NOR flash, the VPD EEPROM on the machine's
// I2C controller, the I/O expander (i2c-stub) and the boot settings from an
// environment partition that mkenvimage wrote. Only what the kernel's own
// drivers answer is checked here; the flash and VPD logic itself is proven
// on the simulator.
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
constexpr std::uint32_t kRfsSize = ks::kPartitions[4].size;

Bytes read_flash(int handle, std::uint32_t offset, std::uint32_t length) {
    Bytes b(length);
    EXPECT_EQ(api_flash_read(b.data(), handle, offset, length), 0);
    return b;
}

class PartitionGeometry : public ::testing::TestWithParam<ks::Partition> {};

TEST_P(PartitionGeometry, IsTheSwitchSizeInNorBlocksOf64KiB) {
    const std::string node = std::string("/dev/mtd-") + GetParam().name;
    dev::UniqueFd fd(dev::open(node.c_str(), flash::kSyncOpenFlags));
    ASSERT_GE(fd.get(), 0) << node << ": " << errno;
    mtd_info_user info{};
    ASSERT_EQ(dev::ioctl(fd.get(), MEMGETINFO, &info), 0) << errno;
    EXPECT_EQ(info.type, MTD_NORFLASH);
    EXPECT_EQ(info.size, GetParam().size);
    EXPECT_EQ(info.erasesize, B);
    EXPECT_TRUE(info.flags & MTD_WRITEABLE);
}

INSTANTIATE_TEST_SUITE_P(Each, PartitionGeometry, ::testing::ValuesIn(ks::kPartitions),
                         [](const auto& info) { return std::string(info.param.name); });

class Flash : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(api_flash_init(), 0); }
    void TearDown() override {
        // The partition after rfs, as the image left it.
        EXPECT_EQ(read_flash(rescue_fd, 0, B), ks::pattern(ks::kRescueSeed, 0, B));
        flash_forget();
    }
};

TEST_F(Flash, LauncherOpensEveryPartitionWhereTheImagePutItsContent) {
    EXPECT_STREQ(theFlash.desc, "3MB w/48-64KB sectors");
    EXPECT_EQ(flash_fd, kernel_fd);
    EXPECT_GE(uboot_env_fd, 0);
    // Both ends of the boot loader, the start of the root file system: a
    // shifted partition reads other bytes.
    const std::uint32_t uboot = ks::kPartitions[0].size;
    EXPECT_EQ(read_flash(uboot_fd, 0, 256), ks::pattern(ks::kUbootSeed, 0, 256));
    EXPECT_EQ(read_flash(uboot_fd, uboot - 256, 256), ks::pattern(ks::kUbootSeed, uboot - 256, 256));
    EXPECT_EQ(read_flash(rfs_fd, 0, 4096), ks::pattern(ks::kRfsSeed, 0, 4096));
    EXPECT_EQ(read_flash(device_tree_fd, 0, 64), Bytes(64, 0xFF));
    std::uint32_t size = 0;
    ASSERT_EQ(mtd_get_size(rfs_fd, &size), 1);
    EXPECT_EQ(size, kRfsSize);
}

// The kernel refuses the erase past the partition's end: the next partition
// is spared, and the blocks before the failing step stay done.
TEST_F(Flash, WritesAndErasesPastTheEndFailAndSpareTheNextPartition) {
    const Bytes data = ks::pattern(0x99, 0, 32);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(api_flash_write(data.data(), rfs_fd, kRfsSize - 16, 32, 0), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Flash Write mtd erase failed.\n\n");
    EXPECT_EQ(read_flash(rfs_fd, kRfsSize - 16, 16), Bytes(data.begin(), data.begin() + 16));
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(api_flash_erase(rfs_fd, kRfsSize - B, 2 * B), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Flash Erase mtd erase failed.\n");
}

TEST_F(Flash, ReadsAndWritesAreCutShortAtThePartitionEnd) {
    std::uint8_t buf[64];
    EXPECT_EQ(dev::pread(rfs_fd, buf, sizeof buf, kRfsSize), 0);
    EXPECT_EQ(dev::pread(rfs_fd, buf, sizeof buf, kRfsSize + B), 0);
    EXPECT_EQ(dev::pread(rfs_fd, buf, sizeof buf, kRfsSize - 8), 8);
    erase_info_user last{kRfsSize - B, B};
    ASSERT_EQ(dev::ioctl(rfs_fd, MEMERASE, &last), 0);
    const Bytes data = ks::pattern(0x42, 0, sizeof buf);
    EXPECT_EQ(dev::pwrite(rfs_fd, data.data(), data.size(), kRfsSize - 8), 8);
    EXPECT_EQ(read_flash(rfs_fd, kRfsSize - 8, 8), Bytes(data.begin(), data.begin() + 8));
    for (std::size_t n : {data.size(), std::size_t{0}}) {
        errno = 0;
        EXPECT_EQ(dev::pwrite(rfs_fd, data.data(), n, kRfsSize), -1);
        EXPECT_EQ(errno, ENOSPC);
    }
}

// The table the simulated flash is held to.
class MtdErase : public Flash, public ::testing::WithParamInterface<mtd_answers::EraseCase> {};

TEST_P(MtdErase, Answers) {
    const auto& c = GetParam();
    const std::uint32_t at = c.start_in(kRfsSize);
    erase_info_user e{at, c.length};
    errno = 0;
    EXPECT_EQ(dev::ioctl(rfs_fd, MEMERASE, &e), c.error ? -1 : 0);
    EXPECT_EQ(errno, c.error);
    if (c.erases) {
        EXPECT_EQ(read_flash(rfs_fd, at, c.length), Bytes(c.length, 0xFF));
    }
}

INSTANTIATE_TEST_SUITE_P(Request, MtdErase, ::testing::ValuesIn(mtd_answers::kEraseCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(MtdReadOnly, AReadOnlyOpenReadsButRefusesErasesAndWrites) {
    dev::UniqueFd fd(dev::open("/dev/mtd-rescue", O_RDONLY));
    ASSERT_GE(fd.get(), 0) << errno;
    Bytes buf(B);
    EXPECT_EQ(dev::pread(fd.get(), buf.data(), B, 0), static_cast<ssize_t>(B));
    EXPECT_EQ(buf, ks::pattern(ks::kRescueSeed, 0, B));
    erase_info_user e{0, B};
    errno = 0;
    EXPECT_EQ(dev::ioctl(fd.get(), MEMERASE, &e), -1);
    EXPECT_EQ(errno, EPERM);
    errno = 0;
    EXPECT_EQ(dev::pwrite(fd.get(), buf.data(), 16, 0), -1);
    EXPECT_EQ(errno, EBADF);
}

class Vpd : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(api_i2c_init(), 0); }
    void TearDown() override { api_i2c_close(); }
};

TEST_F(Vpd, ReadsTheBytesTheBoardCameWith) {
    EXPECT_EQ(api_get_image(), 2);
    EXPECT_EQ(api_get_usbboot(), vpd::kUsbBootEnabled);
    Bytes head(ks::kVpdFilled);
    ASSERT_EQ(api_eeprom_read(head.data(), 0, ks::kVpdFilled), 1);
    EXPECT_EQ(head, ks::pattern(ks::kVpdSeed, 0, ks::kVpdFilled));
    // A read across the EEPROM's 128-byte page boundary.
    Bytes across(16);
    ASSERT_EQ(api_eeprom_read(across.data(), 120, 16), 1);
    EXPECT_EQ(across, Bytes(16, 0xFF));
}

// The expander's registers through the kernel's SMBus calls (i2c-stub holds
// them): a VPD write first drives the write-protect line low, from the pins,
// and is then stored.
TEST_F(Vpd, AWriteClearsOnlyTheWriteProtectBitOfThePinsInOutputPort4) {
    dev::UniqueFd fd(dev::open("/dev/i2c-1", O_RDWR));
    ASSERT_GE(fd.get(), 0) << errno;
    ASSERT_EQ(dev::ioctl(fd.get(), I2C_SLAVE, 0x20ul), 0) << errno;
    for (const std::uint8_t pins : {std::uint8_t{0xFF}, std::uint8_t{0x5C}}) {
        ASSERT_EQ(i2c_smbus_write_byte_data(fd.get(), vpd::kExpanderInputPort4, pins), 0);
        ASSERT_EQ(i2c_smbus_write_byte_data(fd.get(), vpd::kExpanderOutputPort4, 0xFF), 0);
        EXPECT_EQ(api_set_booted_image(4), 3);  // the board came with 1
        EXPECT_EQ(i2c_smbus_read_byte_data(fd.get(), vpd::kExpanderOutputPort4),
                  pins & ~vpd::kWriteProtectBit);
        EXPECT_EQ(i2c_smbus_read_byte_data(fd.get(), vpd::kExpanderInputPort4), pins);
    }
    // The byte went through the machine's controller into the EEPROM.
    std::uint8_t got = 0;
    ASSERT_EQ(get_vpd_offset(vpd::kBootedImage, 1, &got), 1);
    EXPECT_EQ(got, 4);
}

TEST_F(Vpd, AnAddressNobodyAnswersFailsTheReadWithAMessage) {
    std::uint8_t buf[4] = {};
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(i2c_read(0, 0xA0, 0, 4, 2, buf), 0);  // 0x50: no part there
    const std::string out = ::testing::internal::GetCapturedStdout();
    // The errno depends on the controller (the machine's times out).
    EXPECT_EQ(out.rfind("I2C error - device 0xa0 writing bus 0 offset 0: ", 0), 0u) << out;
}

TEST(BootSettings, AreReadFromTheEnvironmentMkenvimageWrote) {
    ASSERT_EQ(api_flash_init(), 0);
    settings::reset_boot_settings();
    parse_uboot_env();
    flash_forget();
    EXPECT_EQ(std::vector<int>({gdbserver_enable, gdb_enable, gdbport, shell_enable, memchk_enable,
                                rescue_enable, standalone_diags}),
              std::vector<int>({1, 1, 2345, 0, 1, 1, 0}));
    settings::reset_boot_settings();
}

}  // namespace
