// Block-wise flash updates on the simulated NOR part: what reaches the
// partition, what the console shows, and what a failure at each step leaves.
#include "hw/flash.hpp"

#include <gtest/gtest.h>

#include "platform/sim/sim.hpp"
#include "support/sim_board.hpp"
#include "support/testing.hpp"

namespace {

using testing_support::PrintTo;
using testing_support::SimBoard;
using Bytes = std::vector<std::uint8_t>;
using Counts = std::vector<std::uint32_t>;

constexpr std::uint32_t B = SimBoard::kBlock;

Bytes pattern(std::size_t n, std::uint8_t seed) {
    Bytes v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(seed + i * 7 + (i >> 8));
    return v;
}

Bytes part(const Bytes& v, std::uint32_t from, std::uint32_t to) {
    return Bytes(v.begin() + from, v.begin() + to);
}

class Flash : public ::testing::Test {
protected:
    void SetUp() override {
        // Old content everywhere, so that lost or clobbered bytes show.
        board.set_partition("mtd-kernel", old_);
        ASSERT_EQ(api_flash_init(), 0);
    }

    // Writes `data` at `offset` with the console captured into `console_`.
    int write(const Bytes& data, std::uint32_t offset, bool progress) {
        ::testing::internal::CaptureStdout();
        const int r = api_flash_write(data.empty() ? nullptr : data.data(), kernel_fd, offset,
                                      static_cast<std::uint32_t>(data.size()), progress);
        console_ = ::testing::internal::GetCapturedStdout();
        return r;
    }

    Counts erases() const { return sim::erase_counts("/dev/mtd-kernel"); }

    SimBoard board;
    const Bytes old_ = pattern(0x80000, 0x40);
    std::string console_;
};

// Each block of the range is read, erased and written back whole: the bytes
// around the range survive, and no block outside it is erased.
struct WriteCase {
    const char* name;
    std::uint32_t offset;
    std::uint32_t length;
    const char* progress;  // what the console shows; nullptr: no progress asked
    Counts erases;         // per block
};

class FlashWrite : public Flash, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(FlashWrite, ReplacesTheRangeAndKeepsTheRest) {
    const WriteCase& c = GetParam();
    const Bytes data = pattern(c.length, 0x99);
    ASSERT_EQ(write(data, c.offset, c.progress != nullptr), 0);
    EXPECT_EQ(console_, c.progress ? c.progress : "");
    Bytes expected = old_;
    std::copy(data.begin(), data.end(), expected.begin() + c.offset);
    EXPECT_EQ(board.partition("mtd-kernel"), expected);
    EXPECT_EQ(erases(), c.erases);
}

INSTANTIATE_TEST_SUITE_P(
    Range, FlashWrite,
    ::testing::Values(
        WriteCase{"three_blocks_from_inside_the_first", B + 0x1234, 2 * B + 0x8000 - 0x1234,
                  nullptr, {0, 1, 1, 1, 0, 0, 0, 0}},
        WriteCase{"four_whole_blocks_show_their_progress_and_end_on_the_boundary", 0, 4 * B,
                  "     \b\b\b\b000%\b\b\b\b025%\b\b\b\b050%\b\b\b\b075%\b\b\b\b100%\n",
                  {1, 1, 1, 1, 0, 0, 0, 0}},
        WriteCase{"nothing_at_a_block_start_touches_nothing", 2 * B, 0, "     \b\b\b\b100%\n",
                  {0, 0, 0, 0, 0, 0, 0, 0}},
        // No bytes from no buffer: no null pointer may reach a copy (UBSan).
        WriteCase{"nothing_inside_a_block_keeps_the_block", B + 16, 0, nullptr,
                  {0, 1, 0, 0, 0, 0, 0, 0}}),
    [](const auto& info) { return std::string(info.param.name); });

// A fault in the second of three blocks: the first stays updated, the third
// untouched, and the second as the failing step leaves it. (The reads of a
// block are the one before its erase and the check after its write: the
// third is block 1's first.)
struct FaultCase {
    const char* name;
    sim::FlashOp op;
    std::uint32_t nth;
    const char* message;
};

class FlashFault : public Flash, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(FlashFault, LeavesEarlierBlocksWrittenAndLaterOnesUntouched) {
    const FaultCase& c = GetParam();
    const Bytes data = pattern(3 * B, 0x5A);
    sim::fail_nth(c.op, c.nth);
    EXPECT_EQ(write(data, 0, true), -1);
    EXPECT_EQ(console_, std::string("     \b\b\b\b000%") + c.message + "\n\n");
    const Bytes p = board.partition("mtd-kernel");
    EXPECT_EQ(part(p, 0, B), part(data, 0, B));
    EXPECT_EQ(part(p, 2 * B, 3 * B), part(old_, 2 * B, 3 * B));
    if (c.op == sim::FlashOp::Write) {
        // The third 1 KiB piece of block 1 failed: two written, the rest erased.
        EXPECT_EQ(part(p, B, B + 2048), part(data, B, B + 2048));
        EXPECT_EQ(part(p, B + 2048, 2 * B), Bytes(B - 2048, 0xFF));
    } else {
        EXPECT_EQ(part(p, B, 2 * B), part(old_, B, 2 * B));
    }
}

INSTANTIATE_TEST_SUITE_P(
    EachStep, FlashFault,
    ::testing::Values(FaultCase{"read", sim::FlashOp::Read, 3, "Flash Write mtd read failed."},
                      FaultCase{"erase", sim::FlashOp::Erase, 2, "Flash Write mtd erase failed."},
                      FaultCase{"write", sim::FlashOp::Write, B / flash::kWritePiece + 3,
                                "Flash Write mtd write failed."}),
    [](const auto& info) { return std::string(info.param.name); });

// A range past 4 GiB would wrap to the partition's start; one of all 2^32
// bytes has a block count that wraps to 0 and must not pass as nothing.
TEST_F(Flash, RangesPastTheOffsetSpaceAreRefusedAndTouchNothing) {
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(api_flash_write(old_.data(), kernel_fd, 0xFFFF8000u, 0x20000, 0), -1);
    EXPECT_EQ(api_flash_write(old_.data(), kernel_fd, 1, 0xFFFFFFFFu, 0), -1);
    EXPECT_EQ(api_flash_erase(kernel_fd, 5, 0xFFFFFFFBu), -1);
    const std::string console = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(console.find("Flash Erase range past the end of flash."), std::string::npos);
    EXPECT_NE(console.find("Flash Write range past the end of flash."), std::string::npos);
    EXPECT_EQ(board.partition("mtd-kernel"), old_);
    EXPECT_EQ(erases(), Counts(8, 0));
}

TEST_F(Flash, ReadsAtAnyOffsetAndErasesTheBlocksOfARange) {
    Bytes buf(1280);
    ASSERT_EQ(api_flash_read(buf.data(), kernel_fd, 4, 1280), 0);
    EXPECT_EQ(buf, part(old_, 4, 1284));
    ASSERT_EQ(api_flash_erase(kernel_fd, B + 10, B), 0);  // blocks 1 and 2
    const Bytes p = board.partition("mtd-kernel");
    EXPECT_EQ(part(p, B, 3 * B), Bytes(2 * B, 0xFF));
    EXPECT_EQ(p[B - 1], old_[B - 1]);
    EXPECT_EQ(p[3 * B], old_[3 * B]);
}

TEST(FlashGeometry, NoFlashMeansEveryOperationFailsWithoutTouchingTheDevice) {
    SimBoard board;
    board.resize_partition("mtd-kernel", 0);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(api_flash_init(), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "NO FLASH !\n");
    std::uint8_t buf[16] = {};
    EXPECT_EQ(api_flash_read(buf, rfs_fd, 0, 16), -1);
    EXPECT_EQ(api_flash_write(buf, rfs_fd, 0, 16, 0), -1);
    EXPECT_EQ(api_flash_erase(rfs_fd, 0, B), -1);
    EXPECT_EQ(board.partition("mtd-rfs"), Bytes(0x80000, 0xFF));
}

TEST(FlashGeometry, UnusableEraseBlockSizesAreRefusedNotDividedBy) {
    for (std::uint32_t size : {0u, 1000u, 3072u, 512u}) {
        SimBoard board;
        sim::set_erase_size(size);
        std::uint8_t buf[4] = {};
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(api_flash_init(), -1) << size;
        EXPECT_EQ(api_flash_write(buf, kernel_fd, 0, 4, 0), -1);
        ::testing::internal::GetCapturedStdout();
    }
}

TEST(FlashGeometry, MissingPartitionFailsOnItsFirstBlock) {
    SimBoard board;
    board.remove_device("mtd-rfs");
    ASSERT_EQ(api_flash_init(), 0);
    EXPECT_LT(rfs_fd, 0);
    std::uint8_t buf[4] = {};
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(api_flash_write(buf, rfs_fd, 0, 4, 0), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Flash Write mtd read failed.\n\n");
}

}  // namespace
