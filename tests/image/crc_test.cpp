#include "image/crc.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "support/testing.hpp"

#if defined(BOOTLAUNCH_HAVE_ZLIB) && __has_include(<zlib.h>)
#include <zlib.h>
#define HAVE_ZLIB 1
#endif

namespace {

using testing_support::hex;
using testing_support::PrintTo;

const std::vector<std::uint8_t> kDigits = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};

struct KnownAnswer {
    const char* name;
    std::vector<std::uint8_t> data;
    std::uint32_t crc;
};

class CrcKnownAnswer : public ::testing::TestWithParam<KnownAnswer> {};

TEST_P(CrcKnownAnswer, TableAndBitwiseGiveTheSameResult) {
    const auto& k = GetParam();
    const auto n = static_cast<std::uint32_t>(k.data.size());
    EXPECT_EQ(gen_crc(k.data.data(), n, 0xFFFFFFFF), k.crc);
    EXPECT_EQ(image::gen_crc_bitwise(k.data.data(), n, 0xFFFFFFFF), k.crc);
    EXPECT_EQ(image::crc_of(k.data), k.crc);
}

INSTANTIATE_TEST_SUITE_P(
    Crc, CrcKnownAnswer,
    ::testing::Values(
        KnownAnswer{"digits", kDigits, 0x340BC6D9}, KnownAnswer{"empty", {}, 0xFFFFFFFF},
        // Bytes 4.. of the basic application section 1.2.3.4 with payload "abcd".
        KnownAnswer{"section_abcd", hex("00 00 00 04 01 50 47 54 01 02 03 04 61 62 63 64"),
                    0x87D99400},
        KnownAnswer{"section_abc", hex("00 00 00 03 01 50 47 54 01 02 03 04 61 62 63"), 0xA5AF3B7A},
        // An empty basic section: the crc covers len, magic and id only.
        KnownAnswer{"empty_section", hex("00 00 00 00 01 50 47 54 01 02 03 04"), 0x23E3A7B7}),
    [](const auto& info) { return std::string(info.param.name); });

// The sliced loop takes 16 bytes at a time and finishes byte by byte: every
// length and every alignment of the start must land on the definition, and a
// crc carried over in `init` must continue a running one.
TEST(Crc, SlicedLoopMatchesTheBitwiseDefinition) {
    std::mt19937 rng(7);
    std::vector<std::uint8_t> buf(100 + 16);
    for (auto& b : buf) b = static_cast<std::uint8_t>(rng());
    for (std::uint32_t start = 0; start < 16; ++start) {
        for (std::uint32_t len = 0; len <= 100; ++len) {
            const std::uint8_t* p = buf.data() + start;
            const std::uint32_t want = image::gen_crc_bitwise(p, len, 0xFFFFFFFF);
            ASSERT_EQ(gen_crc(p, len, 0xFFFFFFFF), want) << "start " << start << " len " << len;
            const std::uint32_t half = len / 3;
            ASSERT_EQ(gen_crc(p + half, len - half, gen_crc(p, half, 0xFFFFFFFF)), want)
                << "split at " << half;
#ifdef HAVE_ZLIB
            ASSERT_EQ(want, ~static_cast<std::uint32_t>(crc32(0, p, len)));
#endif
        }
    }
}

TEST(Crc, CheckCrcIsOneOnlyOnAMismatch) {
    EXPECT_EQ(CheckCrc(kDigits.data(), 9, 0x340BC6D9), 0);
    EXPECT_EQ(CheckCrc(kDigits.data(), 9, 0x340BC6D9 ^ 1), 1);
    // The standard CRC-32 (final inversion) is not what a section stores.
    EXPECT_EQ(CheckCrc(kDigits.data(), 9, 0xCBF43926), 1);
    EXPECT_EQ(CheckCrc(kDigits.data(), 8, 0x340BC6D9), 1);
    EXPECT_EQ(CheckCrc(nullptr, 0, 0xFFFFFFFF), 0);
}

}  // namespace
