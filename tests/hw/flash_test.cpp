// Block-wise flash updates on the simulated NOR part: what reaches the
// partition, what the console shows, and what a failure at each step leaves.
#include "hw/flash.hpp"

#include <gtest/gtest.h>

#include <numeric>

#include "platform/sim/sim.hpp"
#include "support/sim_board.hpp"
#include "support/testing.hpp"

using testing_support::SimBoard;

namespace {

using testing_support::PrintTo;

constexpr std::uint32_t B = SimBoard::kBlock;

std::vector<std::uint8_t> pattern(std::size_t n, std::uint8_t seed) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(seed + i * 7 + (i >> 8));
    return v;
}

class Flash : public ::testing::Test {
protected:
    void SetUp() override {
        // Old content everywhere, so that lost or clobbered bytes show.
        old_ = pattern(0x80000, 0x40);
        board.set_partition("mtd-kernel", old_);
        ASSERT_EQ(api_flash_init(), 0);
    }

    // Writes with the console captured; returns the result.
    int write(const std::vector<std::uint8_t>& data, std::uint32_t offset, bool progress,
              std::string* console = nullptr) {
        ::testing::internal::CaptureStdout();
        const int r = api_flash_write(data.data(), kernel_fd, offset,
                                      static_cast<std::uint32_t>(data.size()), progress);
        const std::string out = ::testing::internal::GetCapturedStdout();
        if (console) *console = out;
        return r;
    }

    // The partition as it must be after `data` replaced [offset, +size).
    std::vector<std::uint8_t> expected(const std::vector<std::uint8_t>& data,
                                       std::uint32_t offset) const {
        auto e = old_;
        std::copy(data.begin(), data.end(), e.begin() + offset);
        return e;
    }

    SimBoard board;
    std::vector<std::uint8_t> old_;
};

TEST_F(Flash, MeasuresTheKernelPartition) {
    EXPECT_EQ(theFlash.size, 0x80000u);
    EXPECT_EQ(theFlash.sector_size, B);
    EXPECT_EQ(theFlash.sector_shift, 16u);
    EXPECT_EQ(theFlash.sectors, 8u);
    EXPECT_STREQ(theFlash.desc, "0MB w/8-64KB sectors");
}

TEST_F(Flash, SmallWriteRewritesOnlyItsBlockAndKeepsTheRest) {
    const auto data = pattern(16, 0x01);
    ASSERT_EQ(write(data, 0x10008, false), 0);
    EXPECT_EQ(board.partition("mtd-kernel"), expected(data, 0x10008));
    const auto erases = sim::erase_counts("/dev/mtd-kernel");
    EXPECT_EQ(erases, (std::vector<std::uint32_t>{0, 1, 0, 0, 0, 0, 0, 0}));
}

TEST_F(Flash, ThreeBlockWriteFromMidBlockKeepsBytesOutsideTheRange) {
    const std::uint32_t offset = B + 0x1234;
    const auto data = pattern((B - 0x1234) + B + 0x8000, 0x99);  // tail of 1, all of 2, head of 3
    ASSERT_EQ(write(data, offset, false), 0);
    EXPECT_EQ(board.partition("mtd-kernel"), expected(data, offset));
    EXPECT_EQ(sim::erase_counts("/dev/mtd-kernel"),
              (std::vector<std::uint32_t>{0, 1, 1, 1, 0, 0, 0, 0}));
}

TEST_F(Flash, ProgressIsRewrittenInPlaceBlockByBlock) {
    std::string console;
    ASSERT_EQ(write(pattern(4 * B, 3), 0, true, &console), 0);
    EXPECT_EQ(console, "     \b\b\b\b000%\b\b\b\b025%\b\b\b\b050%\b\b\b\b075%\b\b\b\b100%\n");

    ASSERT_EQ(write({}, 0, true, &console), 0);
    EXPECT_EQ(console, "     \b\b\b\b100%\n");
    EXPECT_EQ(write(pattern(10, 3), 0, false, &console), 0);
    EXPECT_EQ(console, "");
}

TEST_F(Flash, EmptyWriteAtBlockStartTouchesNothing) {
    ASSERT_EQ(write({}, 2 * B, false), 0);
    EXPECT_EQ(board.partition("mtd-kernel"), old_);
    EXPECT_EQ(sim::erase_counts("/dev/mtd-kernel"), std::vector<std::uint32_t>(8, 0));
}

// A fault in the second of three blocks: the first stays updated, the third
// untouched, and the second as the failing step leaves it.
// (The reads of a block are the one before its erase and the one after its
// write that checks it: the third is block 1's first.)
struct FaultCase {
    const char* name;
    sim::FlashOp op;
    std::uint32_t nth;
    const char* message;
};

class FlashFault : public Flash, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(FlashFault, LeavesEarlierBlocksWrittenAndLaterOnesUntouched) {
    const FaultCase& c = GetParam();
    const auto data = pattern(3 * B, 0x5A);
    sim::fail_nth(c.op, c.nth);
    std::string console;
    EXPECT_EQ(write(data, 0, true, &console), -1);
    EXPECT_EQ(console, std::string("     \b\b\b\b000%") + c.message + "\n\n");

    const auto p = board.partition("mtd-kernel");
    const auto block = [&](const std::vector<std::uint8_t>& v, int i, std::uint32_t from = 0,
                           std::uint32_t to = B) {
        return std::vector<std::uint8_t>(v.begin() + i * B + from, v.begin() + i * B + to);
    };
    EXPECT_EQ(block(p, 0), block(data, 0));
    EXPECT_EQ(block(p, 2), block(old_, 2));
    switch (c.op) {
    case sim::FlashOp::Read:
    case sim::FlashOp::Erase:
        EXPECT_EQ(block(p, 1), block(old_, 1));
        break;
    case sim::FlashOp::Write: {
        // Third 1 KiB piece of block 1 failed: two pieces written, the
        // rest still erased.
        EXPECT_EQ(block(p, 1, 0, 2048), block(data, 1, 0, 2048));
        EXPECT_EQ(block(p, 1, 2048), std::vector<std::uint8_t>(B - 2048, 0xFF));
        break;
    }
    }
}

constexpr std::uint32_t kPiecesPerBlock = B / flash::kWritePiece;

INSTANTIATE_TEST_SUITE_P(
    EachStep, FlashFault,
    ::testing::Values(FaultCase{"read", sim::FlashOp::Read, 3, "Flash Write mtd read failed."},
                      FaultCase{"erase", sim::FlashOp::Erase, 2, "Flash Write mtd erase failed."},
                      FaultCase{"write", sim::FlashOp::Write, kPiecesPerBlock + 3,
                                "Flash Write mtd write failed."}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Flash, RangeWrappingPastFourGigabytesIsRefused) {
    const auto data = pattern(0x20000, 1);
    std::string console;
    EXPECT_EQ(write(data, 0xFFFF8000u, false, &console), -1);
    EXPECT_EQ(board.partition("mtd-kernel"), old_);
    EXPECT_EQ(api_flash_erase(kernel_fd, 0xFFFF0000u, 0x20000), -1);
    EXPECT_EQ(board.partition("mtd-kernel"), old_);
}

// From inside the first block to the last offset is all 2^32 bytes: a block
// count that wraps to 0 must not make it a successful nothing.
TEST_F(Flash, RangeOfTheWholeOffsetSpaceIsRefusedNotDoneAsNothing) {
    std::string console;
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(api_flash_erase(kernel_fd, 0, 0xFFFFFFFFu), -1);
    EXPECT_EQ(api_flash_erase(kernel_fd, 5, 0xFFFFFFFBu), -1);
    EXPECT_EQ(api_flash_write(old_.data(), kernel_fd, 1, 0xFFFFFFFFu, 0), -1);
    console = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(console.find("Flash Erase range past the end of flash."), std::string::npos)
        << console;
    EXPECT_NE(console.find("Flash Write range past the end of flash."), std::string::npos)
        << console;
    EXPECT_EQ(sim::erase_counts("/dev/mtd-kernel"), std::vector<std::uint32_t>(8, 0));
}

// No bytes from no buffer, inside a block: the block is rewritten as it was
// (and no null pointer reaches a copy, which UBSan would report).
TEST_F(Flash, EmptyWriteWithoutABufferInsideABlockKeepsTheBlock) {
    EXPECT_EQ(api_flash_write(nullptr, kernel_fd, B + 16, 0, 0), 0);
    EXPECT_EQ(board.partition("mtd-kernel"), old_);
}

TEST_F(Flash, EraseCoversTheBlocksOfTheRange) {
    ASSERT_EQ(api_flash_erase(kernel_fd, B + 10, B), 0);  // blocks 1 and 2
    const auto p = board.partition("mtd-kernel");
    EXPECT_EQ(std::vector<std::uint8_t>(p.begin() + B, p.begin() + 3 * B),
              std::vector<std::uint8_t>(2 * B, 0xFF));
    EXPECT_EQ(p[B - 1], old_[B - 1]);
    EXPECT_EQ(p[3 * B], old_[3 * B]);
}

TEST_F(Flash, ReadsAtAnyOffsetAndTracesWhenAsked) {
    std::vector<std::uint8_t> buf(1280);
    ASSERT_EQ(api_flash_read(buf.data(), kernel_fd, 4, 1280), 0);
    EXPECT_EQ(buf, std::vector<std::uint8_t>(old_.begin() + 4, old_.begin() + 1284));

    debug_erase = 1;
    ::testing::internal::CaptureStdout();
    api_flash_erase(kernel_fd, 0x10, 0x20);
    const std::string trace = ::testing::internal::GetCapturedStdout();
    debug_erase = 0;
    EXPECT_EQ(trace,
              "Flash Erase 0x00000010 to 0x0000002f (0x00000000 to 0x0000ffff) 1\n"
              "mtd erase 0x00000000 to 0x0000ffff\n");
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
    EXPECT_EQ(board.partition("mtd-rfs"), std::vector<std::uint8_t>(0x80000, 0xFF));
}

TEST(FlashGeometry, UnusableEraseBlockSizesAreRefusedNotDividedBy) {
    for (std::uint32_t size : {0u, 1000u, 3072u, 512u}) {
        SimBoard board;
        sim::set_erase_size(size);
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(api_flash_init(), -1) << size;
        ::testing::internal::GetCapturedStdout();
        std::uint8_t buf[4] = {};
        EXPECT_EQ(api_flash_write(buf, kernel_fd, 0, 4, 0), -1);
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
