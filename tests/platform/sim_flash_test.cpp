// The simulated NOR flash must behave like the switch's part, or the flash
// layer's tests prove nothing: erase to 0xFF on block boundaries only, and a
// write that can only clear bits. (Read-only opens and transfers cut short
// at a partition's end are the kernel stage's to show.)
#include <fcntl.h>
#include <gtest/gtest.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>

#include "platform/device.hpp"
#include "platform/sim/sim.hpp"
#include "support/mtd_answers.hpp"
#include "support/sim_board.hpp"

namespace {

using testing_support::PrintTo;
using testing_support::SimBoard;
constexpr std::uint32_t B = SimBoard::kBlock;
static_assert(B == mtd_answers::kBlock);

class SimFlash : public ::testing::Test {
protected:
    SimBoard board;
    dev::UniqueFd fd{dev::open("/dev/mtd-kernel", O_RDWR)};

    int erase(std::uint32_t start, std::uint32_t length) {
        erase_info_user e{start, length};
        return dev::ioctl(fd.get(), MEMERASE, &e);
    }
};

TEST_F(SimFlash, WriteWithoutEraseCanOnlyClearBitsAsNorDoes) {
    const std::uint8_t first[3] = {0xF0, 0x0F, 0xAA};
    const std::uint8_t second[3] = {0x3C, 0xFF, 0x55};
    ASSERT_EQ(dev::pwrite(fd.get(), first, 3, 100), 3);
    ASSERT_EQ(dev::pwrite(fd.get(), second, 3, 100), 3);
    const auto p = board.partition("mtd-kernel");
    EXPECT_EQ(std::vector<std::uint8_t>(p.begin() + 100, p.begin() + 103),
              (std::vector<std::uint8_t>{0x30, 0x0F, 0x00}));
}

// The answers the e500v2 kernel gives (the kernel stage checks the same table).
class SimFlashErase : public SimFlash,
                      public ::testing::WithParamInterface<mtd_answers::EraseCase> {};

TEST_P(SimFlashErase, AnswersAsTheKernelDoes) {
    const auto& c = GetParam();
    std::vector<std::uint8_t> expected(0x80000, 0x00);
    board.set_partition("mtd-kernel", expected);
    const std::uint32_t at = c.start_in(0x80000);
    errno = 0;
    EXPECT_EQ(erase(at, c.length), c.error ? -1 : 0);
    EXPECT_EQ(errno, c.error);
    if (c.erases) std::fill_n(expected.begin() + at, c.length, 0xFF);
    EXPECT_EQ(board.partition("mtd-kernel"), expected);
}

INSTANTIATE_TEST_SUITE_P(Request, SimFlashErase, ::testing::ValuesIn(mtd_answers::kEraseCases),
                         [](const auto& info) { return std::string(info.param.name); });

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
    EXPECT_EQ(std::vector<std::uint8_t>({p[1023], p[4096 + 511], p[4096 + 512], p[8192]}),
              std::vector<std::uint8_t>({0, 0, 0xFF, 0xFF}));
}

// An erase that loses its power is not atomic either: the block is left
// partly erased, neither old nor new.
TEST_F(SimFlashDeathTest, PowerCutDuringAOneBlockEraseLeavesItPartlyErased) {
    board.set_partition("mtd-kernel", std::vector<std::uint8_t>(2 * B, 0x00));
    EXPECT_EXIT(
        {
            sim::cut_power_after(0);
            erase(B, B);
            std::exit(0);
        },
        ::testing::ExitedWithCode(sim::kPowerCutStatus), "");
    const auto p = board.partition("mtd-kernel");
    EXPECT_EQ(std::vector<std::uint8_t>({p[B - 1], p[B], p[B + B / 2 - 1], p[B + B / 2]}),
              std::vector<std::uint8_t>({0, 0xFF, 0xFF, 0}));
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
