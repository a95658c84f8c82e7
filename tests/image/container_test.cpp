#include "image/container.hpp"

#include <gtest/gtest.h>

namespace {

// A section whose size wraps, or an extended header too short to hold
// itself, is refused; a basic header's bytes 16..19 mean nothing.
TEST(Container, RefusesHeadersThatWrapOrAreTooShort) {
    const struct {
        const char* name;
        std::uint32_t magic, len;
        std::uint16_t hdr_len;
        bool consistent;
    } cases[] = {
        {"basic, largest", 0x01504754, 0xFFFFFFEF, 0, true},
        {"basic, wraps", 0x01504754, 0xFFFFFFF0, 0, false},
        {"basic, hdr_len ignored", 0x03504754, 8, 3, true},
        {"extended, 20", 0x81504754, 0, 20, true},
        {"extended, 19", 0x81504754, 100, 19, false},
        {"extended, largest", 0x81504754, 0xFFFF0000, 0xFFFF, true},
        {"extended, wraps", 0x81504754, 0xFFFF0001, 0xFFFF, false},
    };
    for (const auto& c : cases) {
        image::SectionHeader h;
        h.magic = c.magic;
        h.len = c.len;
        h.hdr_len = c.hdr_len;
        EXPECT_EQ(image::section_consistent(h), c.consistent) << c.name;
    }
}

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
