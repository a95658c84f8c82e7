// The simulated NOR flash must behave like the switch's part, or the flash
// layer's tests prove nothing: erase to 0xFF on block boundaries only, and a
// write that can only clear bits.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>

#include <cerrno>

#include "platform/device.hpp"
#include "platform/sim/sim.hpp"
#include "support/mtd_answers.hpp"
#include "support/sim_board.hpp"

using testing_support::SimBoard;

namespace {

class SimFlash : public ::testing::Test {
protected:
    SimBoard board;
    dev::UniqueFd fd{dev::open("/dev/mtd-kernel", O_RDWR)};

    int erase(std::uint32_t start, std::uint32_t length) {
        erase_info_user e{start, length};
        return dev::ioctl(fd.get(), MEMERASE, &e);
    }
};

TEST_F(SimFlash, ReportsGeometryOfTheBackingFile) {
    ASSERT_TRUE(fd);
    mtd_info_user info{};
    ASSERT_EQ(dev::ioctl(fd.get(), MEMGETINFO, &info), 0);
    EXPECT_EQ(info.size, 0x80000u);
    EXPECT_EQ(info.erasesize, SimBoard::kBlock);
    EXPECT_EQ(info.type, MTD_NORFLASH);
}

TEST_F(SimFlash, WriteWithoutEraseCorruptsAsNorDoes) {
    const std::uint8_t first[4] = {0xF0, 0x0F, 0xAA, 0x12};
    const std::uint8_t second[4] = {0x3C, 0xFF, 0x55, 0x21};
    ASSERT_EQ(dev::pwrite(fd.get(), first, 4, 100), 4);
    ASSERT_EQ(dev::pwrite(fd.get(), second, 4, 100), 4);
    const auto p = board.partition("mtd-kernel");
    EXPECT_EQ(p[100], 0x30);  // F0 & 3C
    EXPECT_EQ(p[101], 0x0F);
    EXPECT_EQ(p[102], 0x00);  // AA & 55: the second value is lost
    EXPECT_EQ(p[103], 0x00);
}

// The answers the e500v2 kernel gives (the kernel stage checks the same table).
class SimFlashErase : public SimFlash,
                      public ::testing::WithParamInterface<mtd_answers::EraseCase> {};

TEST_P(SimFlashErase, AnswersAsTheKernelDoes) {
    static_assert(SimBoard::kBlock == mtd_answers::kBlock);
    const auto& c = GetParam();
    const auto before = board.partition("mtd-kernel");
    const std::uint32_t at = c.start_in(static_cast<std::uint32_t>(before.size()));
    errno = 0;
    const int r = erase(at, c.length);
    if (c.error == 0) {
        EXPECT_EQ(r, 0) << errno;
    } else {
        EXPECT_EQ(r, -1);
        EXPECT_EQ(errno, c.error);
    }
    const auto after = board.partition("mtd-kernel");
    if (c.erases) {
        EXPECT_EQ(std::vector<std::uint8_t>(after.begin() + at, after.begin() + at + c.length),
                  std::vector<std::uint8_t>(c.length, 0xFF));
    } else {
        EXPECT_EQ(after, before);
        EXPECT_EQ(sim::erase_counts("/dev/mtd-kernel"), std::vector<std::uint32_t>(8, 0));
    }
}

INSTANTIATE_TEST_SUITE_P(Request, SimFlashErase, ::testing::ValuesIn(mtd_answers::kEraseCases),
                         [](const auto& info) { return mtd_answers::case_name(info.param); });

TEST_F(SimFlash, AReadOnlyOpenReadsButRefusesErasesAndWritesAsTheKernelDoes) {
    board.set_partition("mtd-kernel", std::vector<std::uint8_t>(0x80000, 0x5A));
    dev::UniqueFd ro(dev::open("/dev/mtd-kernel", O_RDONLY));
    ASSERT_TRUE(ro);
    mtd_info_user info{};
    EXPECT_EQ(dev::ioctl(ro.get(), MEMGETINFO, &info), 0);
    std::uint8_t buf[16];
    EXPECT_EQ(dev::pread(ro.get(), buf, sizeof buf, 0), 16);
    erase_info_user e{0, SimBoard::kBlock};
    errno = 0;
    EXPECT_EQ(dev::ioctl(ro.get(), MEMERASE, &e), -1);
    EXPECT_EQ(errno, EPERM);
    errno = 0;
    EXPECT_EQ(dev::pwrite(ro.get(), buf, sizeof buf, 0), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(board.partition("mtd-kernel"), std::vector<std::uint8_t>(0x80000, 0x5A));
    EXPECT_EQ(sim::erase_counts("/dev/mtd-kernel"), std::vector<std::uint32_t>(8, 0));
}

TEST_F(SimFlash, EraseSetsOnesAndIsCountedPerBlock) {
    const std::vector<std::uint8_t> zeros(SimBoard::kBlock * 2, 0);
    ASSERT_EQ(dev::pwrite(fd.get(), zeros.data(), zeros.size(), 0),
              static_cast<ssize_t>(zeros.size()));
    ASSERT_EQ(erase(SimBoard::kBlock, SimBoard::kBlock), 0);
    ASSERT_EQ(erase(SimBoard::kBlock, SimBoard::kBlock), 0);
    const auto p = board.partition("mtd-kernel");
    EXPECT_EQ(p[SimBoard::kBlock - 1], 0x00);
    EXPECT_EQ(p[SimBoard::kBlock], 0xFF);
    EXPECT_EQ(p[2 * SimBoard::kBlock - 1], 0xFF);
    const auto counts = sim::erase_counts("/dev/mtd-kernel");
    ASSERT_EQ(counts.size(), 8u);
    EXPECT_EQ(counts[0], 0u);
    EXPECT_EQ(counts[1], 2u);
}

TEST_F(SimFlash, TransfersAtTheEndAreCutShortAsMtdcharDoes) {
    std::uint8_t buf[16] = {};
    EXPECT_EQ(dev::pread(fd.get(), buf, 16, 0x80000 - 4), 4);
    EXPECT_EQ(dev::pread(fd.get(), buf, 16, 0x80000), 0);
    EXPECT_EQ(dev::pwrite(fd.get(), buf, 16, 0x80000 - 4), 4);
    errno = 0;
    EXPECT_EQ(dev::pwrite(fd.get(), buf, 16, 0x80000), -1);
    EXPECT_EQ(errno, ENOSPC);
}

TEST_F(SimFlash, InjectedFailuresHitTheNthOperationAndChangeNothing) {
    const std::uint8_t zero[4] = {0, 0, 0, 0};
    sim::fail_nth(sim::FlashOp::Write, 2);
    EXPECT_EQ(dev::pwrite(fd.get(), zero, 4, 0), 4);
    errno = 0;
    EXPECT_EQ(dev::pwrite(fd.get(), zero, 4, 8), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(dev::pwrite(fd.get(), zero, 4, 16), 4);
    auto p = board.partition("mtd-kernel");
    EXPECT_EQ(p[0], 0x00);
    EXPECT_EQ(p[8], 0xFF);
    EXPECT_EQ(p[16], 0x00);

    sim::fail_nth(sim::FlashOp::Erase, 1);
    EXPECT_EQ(erase(0, SimBoard::kBlock), -1);
    EXPECT_EQ(board.partition("mtd-kernel")[0], 0x00);
    sim::fail_nth(sim::FlashOp::Read, 1);
    std::uint8_t buf[4];
    EXPECT_EQ(dev::pread(fd.get(), buf, 4, 0), -1);
    EXPECT_EQ(dev::pread(fd.get(), buf, 4, 0), 4);
}

using SimFlashDeathTest = SimFlash;

TEST_F(SimFlashDeathTest, PowerCutTearsTheOperationAndEndsTheProcess) {
    const std::vector<std::uint8_t> zeros(1024, 0);
    EXPECT_EXIT(
        {
            sim::cut_power_after(1);
            dev::pwrite(fd.get(), zeros.data(), 1024, 0);     // completes
            dev::pwrite(fd.get(), zeros.data(), 1024, 4096);  // torn half-way
            dev::pwrite(fd.get(), zeros.data(), 1024, 8192);  // never happens
            std::exit(0);
        },
        ::testing::ExitedWithCode(sim::kPowerCutStatus), "");
    const auto p = board.partition("mtd-kernel");
    EXPECT_EQ(p[1023], 0x00);
    EXPECT_EQ(p[4096 + 511], 0x00);
    EXPECT_EQ(p[4096 + 512], 0xFF);
    EXPECT_EQ(p[8192], 0xFF);
}

// An erase that loses its power is not atomic either: the block is left
// partly erased, neither old nor new.
TEST_F(SimFlashDeathTest, PowerCutDuringAOneBlockEraseLeavesItPartlyErased) {
    board.set_partition("mtd-kernel", std::vector<std::uint8_t>(2 * SimBoard::kBlock, 0x00));
    EXPECT_EXIT(
        {
            sim::cut_power_after(0);
            erase(SimBoard::kBlock, SimBoard::kBlock);
            std::exit(0);
        },
        ::testing::ExitedWithCode(sim::kPowerCutStatus), "");
    const auto p = board.partition("mtd-kernel");
    EXPECT_EQ(p[SimBoard::kBlock - 1], 0x00);
    EXPECT_EQ(p[SimBoard::kBlock], 0xFF);
    EXPECT_EQ(p[SimBoard::kBlock + SimBoard::kBlock / 2 - 1], 0xFF);
    EXPECT_EQ(p[SimBoard::kBlock + SimBoard::kBlock / 2], 0x00);
}

// Files on the flash file system are written through the same model: every
// write is one flash operation that faults and power cuts can hit.
TEST_F(SimFlashDeathTest, WritesToTheFlashFileSystemCountAsFlashOperations) {
    const auto fs = board.dev("user");
    std::filesystem::create_directories(fs);
    sim::set_flash_fs_dir(fs.string());
    const std::string file = (fs / "image1").string();
    const std::vector<std::uint8_t> data(1000, 0x42);
    sim::fail_nth(sim::FlashOp::Write, 2);
    {
        dev::UniqueFd f(dev::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
        ASSERT_TRUE(f);
        EXPECT_EQ(dev::write(f.get(), data.data(), data.size()), 1000);
        errno = 0;
        EXPECT_EQ(dev::write(f.get(), data.data(), data.size()), -1);
        EXPECT_EQ(errno, EIO);
    }
    EXPECT_EXIT(
        {
            dev::UniqueFd f(dev::open(file.c_str(), O_WRONLY | O_APPEND));
            sim::cut_power_after(1);
            dev::write(f.get(), data.data(), data.size());  // completes
            dev::write(f.get(), data.data(), data.size());  // torn half-way
            std::exit(0);
        },
        ::testing::ExitedWithCode(sim::kPowerCutStatus), "");
    EXPECT_EQ(testing_support::read_file(file).size(), 1000u + 1000u + 500u);
    sim::set_flash_fs_dir("/user");
}

}  // namespace
