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

const std::vector<std::uint8_t> kDigits = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};

// The table-driven CRC, the bit-at-a-time definition and crc_of agree on
// known answers: the digits, nothing, and bytes 4.. of the application
// section 1.2.3.4 with payload "abcd" and "abc".
TEST(Crc, KnownAnswers) {
    const std::pair<std::vector<std::uint8_t>, std::uint32_t> cases[] = {
        {kDigits, 0x340BC6D9},
        {{}, 0xFFFFFFFF},
        {hex("00 00 00 04 01 50 47 54 01 02 03 04 61 62 63 64"), 0x87D99400},
        {hex("00 00 00 03 01 50 47 54 01 02 03 04 61 62 63"), 0xA5AF3B7A},
    };
    for (const auto& [data, crc] : cases) {
        const auto n = static_cast<std::uint32_t>(data.size());
        EXPECT_EQ(gen_crc(data.data(), n, 0xFFFFFFFF), crc);
        EXPECT_EQ(image::gen_crc_bitwise(data.data(), n, 0xFFFFFFFF), crc);
        EXPECT_EQ(image::crc_of(data), crc);
    }
}

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
}

}  // namespace
