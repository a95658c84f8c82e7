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
using testing_support::join;
using testing_support::TemporaryDirectory;

std::vector<std::uint8_t> section(ImageType type, std::size_t payload, std::uint16_t hdr_len = 0) {
    return image::build_section({image::code(type), 0x01020304, hdr_len, false},
                                std::vector<std::uint8_t>(payload, 0x5A));
}

// Raw header bytes: crc, len, magic, id, then hdr_len at offset 18.
std::vector<std::uint8_t> raw_header(std::uint32_t len, std::uint32_t magic,
                                     std::uint16_t hdr_len = 0) {
    std::vector<std::uint8_t> h(20, 0);
    bytes::store_be32(std::span(h).subspan(4), len);
    bytes::store_be32(std::span(h).subspan(8), magic);
    bytes::store_be16(std::span(h).subspan(18), hdr_len);
    return h;
}

struct ScanResult {
    int found;
    long position;
    std::uint32_t magic;
};

ScanResult scan(const std::vector<std::uint8_t>& bytes) {
    TemporaryDirectory dir;
    testing_support::write_file(dir / "image", bytes);
    common::UniqueFile f(std::fopen((dir / "image").c_str(), "rb"));
    std::uint8_t header[image::kHeaderProbeSize];
    const int found = parse_image(f.get(), header);
    return {found, std::ftell(f.get()), bytes::load_be32(std::span(header).subspan(8, 4))};
}

TEST(SlotScan, TakesTheFirstApplicationOrDiagnosticsSection) {
    const auto kernel = section(ImageType::Kernel, 1000);
    const auto dtb = section(ImageType::DeviceTree, 33, 32);
    const auto app = section(ImageType::Application, 50);
    const auto diags = section(ImageType::Diagnostics, 70);

    ScanResult r = scan(join({kernel, dtb, app, diags}));
    EXPECT_EQ(r.found, 1);
    EXPECT_EQ(r.position, static_cast<long>(kernel.size() + dtb.size()));
    EXPECT_EQ(r.magic, image::code(ImageType::Application));

    r = scan(join({kernel, diags, app}));
    EXPECT_EQ(r.found, 1);
    EXPECT_EQ(r.magic, image::code(ImageType::Diagnostics));

    r = scan(section(ImageType::Application, 10, 32));
    EXPECT_EQ(r.found, 1);
    EXPECT_EQ(r.magic, image::code(ImageType::Application) | image::kExtendedFlag);
}

TEST(SlotScan, EndsOnEveryHeaderThatWouldNotMoveItForward) {
    const std::uint32_t kernel = image::code(ImageType::Kernel);
    const std::uint32_t extended = kernel | image::kExtendedFlag;
    struct Case {
        const char* name;
        std::vector<std::uint8_t> bytes;
        std::uint32_t last_magic;
    } cases[] = {
        {"empty file", {}, 0},
        {"shorter than a header", std::vector<std::uint8_t>(19, 0x01), 0},
        {"extended, hdr_len 0 and len 0", raw_header(0, extended, 0), extended},
        {"extended size wraps to below its header",
         join({raw_header(0xFFFFFFF0u, extended, 32), std::vector<std::uint8_t>(64, 0)}), extended},
        {"basic size wraps",
         join({raw_header(0xFFFFFFF8u, kernel), std::vector<std::uint8_t>(64, 0)}), kernel},
        {"erased flash", std::vector<std::uint8_t>(4096, 0xFF), 0xFFFFFFFFu},
        {"next section past the end",
         join({section(ImageType::Kernel, 4), raw_header(1 << 30, kernel)}), kernel},
    };
    for (const auto& c : cases) {
        const ScanResult r = scan(c.bytes);
        EXPECT_EQ(r.found, 0) << c.name;
        EXPECT_EQ(r.magic, c.last_magic) << c.name;
    }
}

// What the boot finds in a slot, and the archive it leaves.
struct Unpacking {
    extract::Unpacked result;
    std::vector<std::uint8_t> archive;
};

Unpacking unpack(const std::vector<std::uint8_t>& slot) {
    TemporaryDirectory dir;
    testing_support::write_file(dir / "image", slot);
    std::uint8_t header[image::kHeaderProbeSize];
    extract::Unpacked result;
    {
        common::UniqueFile in(std::fopen((dir / "image").c_str(), "rb"));
        common::UniqueFile out(std::fopen((dir / "archive").c_str(), "wb"));
        result = extract::unpack(in.get(), out.get(), header);
    }
    return {result, testing_support::read_file(dir / "archive")};
}

TEST(Unpack, WritesThePayloadOnlyWhenTheWholeSectionChecks) {
    const auto kernel = section(ImageType::Kernel, 100);
    std::vector<std::uint8_t> payload(3000);
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(i * 7);
    const auto app =
        image::build_section({image::code(ImageType::Application), 0x01000001, 32, false}, payload);

    Unpacking u = unpack(join({kernel, app}));
    EXPECT_EQ(u.result, extract::Unpacked::Written);
    EXPECT_EQ(u.archive, payload);

    auto damaged = app;
    damaged.back() ^= 0x01;
    u = unpack(join({kernel, damaged}));
    EXPECT_EQ(u.result, extract::Unpacked::Damaged);
    EXPECT_TRUE(u.archive.empty());

    const std::vector<std::uint8_t> cut(app.begin(), app.end() - 1);
    u = unpack(join({kernel, cut}));
    EXPECT_EQ(u.result, extract::Unpacked::Damaged) << "a section the file cannot hold whole";
    EXPECT_TRUE(u.archive.empty());

    u = unpack(kernel);
    EXPECT_EQ(u.result, extract::Unpacked::NoSection);
    EXPECT_TRUE(u.archive.empty());
}

TEST(EnvSetup, PairsAreSetAndALastNameAloneGetsAnEmptyValue) {
    TemporaryDirectory dir;
    testing_support::write_file(dir / "env-setup", "BL_TEST_A one\n  BL_TEST_B\ttwo BL_TEST_C\n");
    ::setenv("BL_TEST_C", "stale", 1);
    launch::load_env_setup((dir / "env-setup").c_str());
    EXPECT_STREQ(std::getenv("BL_TEST_A"), "one");
    EXPECT_STREQ(std::getenv("BL_TEST_B"), "two");
    EXPECT_STREQ(std::getenv("BL_TEST_C"), "");
}

TEST(EnvSetup, LongWordsAreSplitAndAMissingFileChangesNothing) {
    TemporaryDirectory dir;
    const std::string long_value(600, 'v');
    testing_support::write_file(dir / "env-setup", "BL_TEST_LONG " + long_value + "\n");
    launch::load_env_setup((dir / "env-setup").c_str());
    // 511 characters, then the rest is read as the next name, alone.
    EXPECT_EQ(std::string(std::getenv("BL_TEST_LONG")), std::string(511, 'v'));
    EXPECT_STREQ(std::getenv(std::string(89, 'v').c_str()), "");

    ::setenv("BL_TEST_KEEP", "kept", 1);
    launch::load_env_setup((dir / "missing").c_str());
    EXPECT_STREQ(std::getenv("BL_TEST_KEEP"), "kept");
}

}  // namespace
