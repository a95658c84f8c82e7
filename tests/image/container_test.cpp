#include "image/container.hpp"

#include <gtest/gtest.h>

#include "support/testing.hpp"

namespace {

using testing_support::PrintTo;

using testing_support::hex;

image::SectionHeader decode(const std::vector<std::uint8_t>& bytes) {
    return image::decode_header(std::span<const std::uint8_t, 20>(bytes.data(), 20));
}

TEST(Container, DecodesTheWorkedExampleBigEndian) {
    const auto h = decode(hex("87 D9 94 00 00 00 00 04 01 50 47 54 01 02 03 04 61 62 63 64"));
    EXPECT_EQ(h.crc, 0x87D99400u);
    EXPECT_EQ(h.len, 4u);
    EXPECT_EQ(h.magic, 0x01504754u);
    EXPECT_EQ(h.id, 0x01020304u);
    EXPECT_FALSE(h.extended());
    EXPECT_EQ(h.type(), image::code(image::ImageType::Application));
    const auto g = image::section_geometry(h);
    EXPECT_EQ(g.size, 20u);
    EXPECT_EQ(g.payload_offset, 16u);
    EXPECT_TRUE(image::section_consistent(h));
}

TEST(Container, ExtendedFlagIsNotPartOfTheType) {
    const auto h = decode(hex("00 00 00 00 00 00 00 10 81 50 47 54 01 02 03 04 00 00 00 20"));
    EXPECT_TRUE(h.extended());
    EXPECT_EQ(h.type(), image::code(image::ImageType::Application));
    EXPECT_EQ(h.hdr_len, 32u);
    const auto g = image::section_geometry(h);
    EXPECT_EQ(g.size, 48u);
    EXPECT_EQ(g.payload_offset, 32u);
}

struct Geometry {
    const char* name;
    std::uint32_t magic;
    std::uint32_t len;
    std::uint16_t hdr_len;
    bool consistent;
};

class SectionConsistent : public ::testing::TestWithParam<Geometry> {};

TEST_P(SectionConsistent, RefusesHeadersThatWrapOrAreTooShort) {
    const Geometry& c = GetParam();
    image::SectionHeader h;
    h.magic = c.magic;
    h.len = c.len;
    h.hdr_len = c.hdr_len;
    EXPECT_EQ(image::section_consistent(h), c.consistent);
}

INSTANTIATE_TEST_SUITE_P(
    Container, SectionConsistent,
    ::testing::Values(Geometry{"basic_empty", 0x01504754, 0, 0, true},
                      Geometry{"basic_largest", 0x01504754, 0xFFFFFFEF, 0, true},
                      Geometry{"basic_wraps", 0x01504754, 0xFFFFFFF0, 0, false},
                      Geometry{"basic_ignores_hdr_len", 0x03504754, 8, 3, true},
                      Geometry{"extended_20", 0x81504754, 0, 20, true},
                      Geometry{"extended_19", 0x81504754, 100, 19, false},
                      Geometry{"extended_0_0", 0x81504754, 0, 0, false},
                      Geometry{"extended_largest", 0x81504754, 0xFFFF0000, 0xFFFF, true},
                      Geometry{"extended_wraps", 0x81504754, 0xFFFF0001, 0xFFFF, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Container, FitsCannotOverflow) {
    EXPECT_TRUE(image::fits(0, 20, 20));
    EXPECT_FALSE(image::fits(1, 20, 20));
    EXPECT_FALSE(image::fits(21, 0, 20));
    EXPECT_FALSE(image::fits(8, UINT64_MAX - 4, 20));
}

TEST(Container, VersionsRoundTripInDottedForm) {
    const std::pair<const char*, std::uint32_t> good[] = {{"1.2.3.4", 0x01020304},
                                                          {"0.0.0.0", 0},
                                                          {"255.255.255.255", 0xFFFFFFFF},
                                                          {"128.255.0.1", 0x80FF0001}};
    for (const auto& [text, id] : good) {
        EXPECT_EQ(image::format_version(id), text);
        EXPECT_EQ(image::parse_version(text), id) << text;
    }
    for (const char* bad : {"", "1.2.3", "1.2.3.4.5", "256.0.0.0", "1..2.3", "a.b.c.d", "1.2.3.4 ",
                            " 1.2.3.4", "-1.2.3.4", "1.2.3.+4", "1.2.3.0x4"})
        EXPECT_FALSE(image::parse_version(bad).has_value()) << '"' << bad << '"';
}

}  // namespace
