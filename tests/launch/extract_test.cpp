// The slot scan, the checked unpacking and the environment loader, on
// containers and files made in the test. The boot path around them runs end
// to end in the simulated switch (tests/e2e).
#include "launch/extract.hpp"

#include <gtest/gtest.h>

#include <cstdlib>

#include "common/bytes.hpp"
#include "common/unique_fd.hpp"
#include "image/container.hpp"
#include "image/section_writer.hpp"
#include "launch/launch.hpp"
#include "support/testing.hpp"

namespace {

using image::ImageType;
using testing_support::hex;
using testing_support::join;
using testing_support::TemporaryDirectory;
using Bytes = std::vector<std::uint8_t>;

Bytes section(ImageType type, std::size_t payload, std::uint16_t hdr_len = 0) {
    return image::build_section({image::code(type), 0x01020304, hdr_len, false},
                                Bytes(payload, 0x5A));
}

// The slot scan stops at the first application or diagnostics section, and
// ends on every header that would not move it forward. `magic` is the last
// header it read.
TEST(SlotScan, FindsTheFirstApplicationOrDiagnosticsOrEnds) {
    const Bytes k = section(ImageType::Kernel, 1000), dtb = section(ImageType::DeviceTree, 33, 32);
    const Bytes app = section(ImageType::Application, 50, 32);
    const Bytes diags = section(ImageType::Diagnostics, 70), zeros(64, 0);
    const struct {
        const char* name;
        Bytes slot;
        int found;
        std::uint32_t magic;
    } cases[] = {
        {"application first", join({k, dtb, app, diags}), 1,
         image::code(ImageType::Application) | image::kExtendedFlag},
        {"diagnostics first", join({k, diags, app}), 1, image::code(ImageType::Diagnostics)},
        {"shorter than a header", Bytes(19, 0x01), 0, 0},
        // Headers as the scan meets them: crc, len, magic, id, then hdr_len.
        {"extended, hdr_len 0 and len 0", hex("00000000 00000000 83504754 00000000 00000000"), 0,
         0x83504754},
        {"basic size wraps", join({hex("00000000 FFFFFFF8 03504754 00000000 00000000"), zeros}), 0,
         0x03504754},
        {"next section past the end",
         join({section(ImageType::Kernel, 4), hex("00000000 40000000 03504754 00000000 00000000")}),
         0, 0x03504754},
    };
    for (const auto& c : cases) {
        TemporaryDirectory dir;
        testing_support::write_file(dir / "image", c.slot);
        common::UniqueFile f(std::fopen((dir / "image").c_str(), "rb"));
        std::uint8_t header[image::kHeaderProbeSize];
        EXPECT_EQ(parse_image(f.get(), header), c.found) << c.name;
        EXPECT_EQ(bytes::load_be32(std::span(header).subspan(8, 4)), c.magic) << c.name;
    }
}

TEST(Unpack, WritesThePayloadOnlyWhenTheWholeSectionChecks) {
    const Bytes kernel = section(ImageType::Kernel, 100);
    const Bytes app = section(ImageType::Application, 3000, 32);
    const Bytes payload(app.begin() + 32, app.end());
    Bytes damaged = app;
    damaged.back() ^= 0x01;
    const struct {
        const char* name;
        Bytes slot;
        extract::Unpacked result;
        Bytes archive;
    } cases[] = {
        {"a whole section", join({kernel, app}), extract::Unpacked::Written, payload},
        {"a damaged section", join({kernel, damaged}), extract::Unpacked::Damaged, {}},
        {"no application", kernel, extract::Unpacked::NoSection, {}},
    };
    for (const auto& c : cases) {
        TemporaryDirectory dir;
        testing_support::write_file(dir / "image", c.slot);
        std::uint8_t header[image::kHeaderProbeSize];
        {
            common::UniqueFile in(std::fopen((dir / "image").c_str(), "rb"));
            common::UniqueFile out(std::fopen((dir / "archive").c_str(), "wb"));
            EXPECT_EQ(extract::unpack(in.get(), out.get(), header), c.result) << c.name;
        }
        EXPECT_EQ(testing_support::read_file(dir / "archive"), c.archive) << c.name;
    }
}

// Names and values are words in pairs; a word of more than 511 characters
// is split, its rest read as the next word.
TEST(EnvSetup, SetsPairsAndALastNameAloneToEmpty) {
    TemporaryDirectory dir;
    testing_support::write_file(dir / "env-setup", "BL_TEST_A one\n  BL_TEST_B\ttwo BL_TEST_LONG " +
                                                       std::string(600, 'v') +
                                                       " BL_TEST_D BL_TEST_C\n");
    ::setenv("BL_TEST_C", "stale", 1);
    launch::load_env_setup((dir / "env-setup").c_str());
    EXPECT_STREQ(std::getenv("BL_TEST_A"), "one");
    EXPECT_STREQ(std::getenv("BL_TEST_B"), "two");
    EXPECT_EQ(std::string(std::getenv("BL_TEST_LONG")), std::string(511, 'v'));
    EXPECT_STREQ(std::getenv(std::string(89, 'v').c_str()), "BL_TEST_D");
    EXPECT_STREQ(std::getenv("BL_TEST_C"), "");
}

}  // namespace
