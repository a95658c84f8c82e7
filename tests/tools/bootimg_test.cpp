// bootimg, run in-process on containers written out byte by byte here, so
// that the tool is checked against the format rather than against its own
// writer.
#include "bootimg.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <ostream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "common/bytes.hpp"
#include "common/unique_fd.hpp"
#include "image/crc.hpp"
#include "image/section_writer.hpp"
#include "support/testing.hpp"

#if defined(BOOTLAUNCH_HAVE_ZLIB) && __has_include(<zlib.h>)
#include <zlib.h>
#define HAVE_ZLIB 1
#endif

namespace {

using Bytes = std::vector<std::uint8_t>;
using testing_support::hex;
using testing_support::PrintTo;
using testing_support::read_file;
using testing_support::TemporaryDirectory;
using testing_support::write_file;

constexpr std::uint32_t kApp = 0x01504754, kUboot = 0x02504754, kKernel = 0x03504754,
                        kRfs = 0x04504754, kDtb = 0x05504754, kDiags = 0x06504754;
constexpr std::uint32_t kExtended = 0x80000000;

struct Result {
    int status;
    std::string out;
    std::string err;
};

std::string slurp(std::FILE* f) {
    std::rewind(f);
    std::string s;
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) s.append(buf, n);
    return s;
}

Result bootimg(std::vector<std::string> args) {
    args.insert(args.begin(), "bootimg");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    common::UniqueFile out(std::tmpfile()), err(std::tmpfile());
    const int status =
        bootimg_main(static_cast<int>(args.size()), argv.data(), out.get(), err.get());
    return {status, slurp(out.get()), slurp(err.get())};
}

void put32(Bytes& b, std::uint32_t v) {
    b.resize(b.size() + 4);
    bytes::store_be32(std::span(b).last(4), v);
}

// A header as a reader meets it, whatever it states.
Bytes header(std::uint32_t len, std::uint32_t magic, std::uint16_t hdr_len) {
    Bytes b;
    for (std::uint32_t word : {0x12345678u, len, magic, 0x01000000u, std::uint32_t{hdr_len}})
        put32(b, word);
    return b;
}

// One section laid out field by field, its checksum by the launcher's CRC.
// hdr_len 0 gives a basic header; the extended header's bytes 20.. are
// filled with `filler`.
Bytes section(std::uint32_t magic, std::uint32_t id, const Bytes& payload,
              std::uint16_t hdr_len = 0, std::uint8_t filler = 0) {
    Bytes s;
    const std::uint32_t len = static_cast<std::uint32_t>(payload.size());
    for (std::uint32_t word : {0u, len, hdr_len ? magic | kExtended : magic, id}) put32(s, word);
    if (hdr_len) {
        put32(s, hdr_len);  // two reserved bytes, then hdr_len
        s.resize(hdr_len, filler);
    }
    s.insert(s.end(), payload.begin(), payload.end());
    bytes::store_be32(s, image::crc_of(std::span(s).subspan(4)));
    return s;
}

// A boot loader payload of `n` bytes with the copy of its header (len, magic,
// id) at offset 240, as the boot loader partition must hold it; word
// `changed` of the copy (0 crc, 1 len, 2 magic, 3 id) altered.
constexpr std::uint32_t kUbootId = 0x02000001;
Bytes boot_loader_payload(std::size_t n, int changed = -1) {
    Bytes p(240, 0x5A);
    for (std::uint32_t word : {0u, static_cast<std::uint32_t>(n), kUboot, kUbootId}) put32(p, word);
    p.resize(n, 0x5A);
    if (changed >= 0) p[240 + 4 * changed + 3] ^= 0x01;
    return p;
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

bool contains(const std::string& haystack, const std::string& needle) {
    return haystack.find(needle) != std::string::npos;
}

class Bootimg : public ::testing::Test {
protected:
    std::string file(const std::string& name, const Bytes& content) {
        write_file(dir_ / name, content);
        return path(name);
    }
    std::string path(const std::string& name) { return (dir_ / name).string(); }
    // `bootimg create -o made.img` with these sections' options and files.
    int create(std::vector<std::string> sections) {
        sections.insert(sections.begin(), {"create", "-o", path("made.img")});
        return bootimg(sections).status;
    }
    TemporaryDirectory dir_;
};

const Bytes kWorkedExample = hex("87 D9 94 00 00 00 00 04 01 50 47 54 01 02 03 04 61 62 63 64");

TEST_F(Bootimg, WorkedExampleIsListedAndMadeByteForByte) {
    const Result l = bootimg({"list", file("example.img", kWorkedExample)});
    EXPECT_EQ(l.status, 0);
    for (const char* field : {"app", "0x01504754", "1.2.3.4", "basic", "0x87d99400", "good"})
        EXPECT_TRUE(contains(l.out, field)) << field << " missing from\n" << l.out;

    // The tool's writer lays out exactly the same bytes, extended header too.
    const auto abcd = file("abcd", {'a', 'b', 'c', 'd'});
    ASSERT_EQ(create({"--type", "app", "--version", "1.2.3.4", abcd}), 0);
    EXPECT_EQ(read_file(path("made.img")), kWorkedExample);
    ASSERT_EQ(create({"--type", "kernel", "--version", "3.0.0.0", "--hdr-len", "32", abcd}), 0);
    EXPECT_EQ(read_file(path("made.img")), section(kKernel, 0x03000000, {'a', 'b', 'c', 'd'}, 32));
}

// Verify passes a good container; a bad one can still be listed, an
// unreadable one not.
enum Judged { kGood, kBad, kUnreadable };

struct Verdict {
    const char* name;
    Bytes container;
    const char* report;  // expected in verify's report
    Judged judged;
};

class Verify : public Bootimg, public ::testing::WithParamInterface<Verdict> {};

// A container refused has a reason, and is refused without reading outside
// the file (the sanitizer build catches any read past the exact-size
// buffer) and without looping on a section of size 0.
TEST_P(Verify, JudgesTheContainerWithAReason) {
    const Verdict& c = GetParam();
    const auto f = file("container.img", c.container);
    const Result v = bootimg({"verify", f});
    EXPECT_EQ(v.status, c.judged == kGood ? 0 : 1) << v.out;
    EXPECT_TRUE(contains(v.out, c.report)) << v.out;
    if (c.judged != kUnreadable) return;
    EXPECT_EQ(bootimg({"list", f}).status, 1);
    EXPECT_EQ(bootimg({"list", "--json", f}).status, 1);
    const Result forced = bootimg({"extract", "--force", f, "0", path("payload")});
    EXPECT_NE(forced.status, 2) << forced.err;
}

Bytes flipped(Bytes b, std::size_t at) {
    b[at] ^= 0x10;
    return b;
}

INSTANTIATE_TEST_SUITE_P(
    Bootimg, Verify,
    ::testing::Values(
        Verdict{"worked_example", kWorkedExample, "OK, 1 section", kGood},
        Verdict{"empty_file", {}, "no section", kUnreadable},
        // Application 1.2.3.4 with payload "abc": 19 bytes, one fewer than a
        // reader takes at a section start.
        Verdict{"nineteen_byte_section",
                hex("A5 AF 3B 7A 00 00 00 03 01 50 47 54 01 02 03 04 61 62 63"), "no section",
                kUnreadable},
        Verdict{"basic_len_wraps", header(0xFFFFFFF8, kKernel, 0) + Bytes(40, 1), "wraps",
                kUnreadable},
        Verdict{"extended_len_wraps", header(0xFFFFFFF0, kKernel | kExtended, 32) + Bytes(40),
                "wraps", kUnreadable},
        Verdict{"hdr_len_19", header(4, kApp | kExtended, 19) + Bytes(4), "below the 20",
                kUnreadable},
        Verdict{"second_past_end", kWorkedExample + header(100, kDtb, 32) + Bytes(10),
                "section 1 at offset 20 (0x14): truncated", kUnreadable},
        Verdict{"trailing_garbage", kWorkedExample + Bytes(7, 0xEE),
                "section 1 at offset 20 (0x14): 7 trailing bytes", kUnreadable},
        Verdict{"bad_crc_then_good",
                hex("87 D9 94 01") + Bytes(kWorkedExample.begin() + 4, kWorkedExample.end()) +
                    kWorkedExample + Bytes(3),
                "section 0 at offset 0 (0x0): bad crc: stored 0x87d99401, computed 0x87d99400",
                kUnreadable},
        Verdict{"extended_header_bytes_are_covered_by_the_crc",
                flipped(section(kKernel, 0x03000000, {1, 2, 3}, 32, 0xA5), 25), "bad crc", kBad},
        Verdict{"unknown_type_is_noted_not_failed", section(0x07504754, 0, {9}) + kWorkedExample,
                "note: section 0 at offset 0 (0x0): unknown type code 0x07504754", kGood},
        // The boot loader's header copy: len, magic and id must match.
        Verdict{"boot_loader_copy_crc_word_not_compared",
                section(kUboot, kUbootId, boot_loader_payload(4096, 0)), "OK", kGood},
        Verdict{"boot_loader_copy_len_differs",
                section(kUboot, kUbootId, boot_loader_payload(4096, 1)), "does not match", kBad},
        Verdict{"boot_loader_copy_id_differs",
                section(kUboot, kUbootId, boot_loader_payload(4096, 3)), "id 2.0.0.0, header",
                kBad},
        Verdict{"boot_loader_copy_missing", section(kUboot, kUbootId, Bytes(4096)), "missing",
                kBad},
        Verdict{"boot_loader_payload_255", section(kUboot, kUbootId, Bytes(255)), "too short",
                kBad}),
    [](const auto& info) { return std::string(info.param.name); });

struct Limit {
    const char* name;
    std::uint32_t type;
    std::uint32_t payload;
    std::uint16_t hdr_len;
    bool accepted;
};

class SizeLimit : public Bootimg, public ::testing::WithParamInterface<Limit> {};

// The switch refuses a value above its type's limit and accepts one equal to
// it; create refuses what the switch would refuse.
TEST_P(SizeLimit, AboveTheLimitIsRefusedEqualIsAccepted) {
    const Limit& c = GetParam();
    const Bytes payload =
        c.type == kUboot ? boot_loader_payload(c.payload) : Bytes(c.payload, 0x33);
    const Result v =
        bootimg({"verify", file("limit.img", section(c.type, kUbootId, payload, c.hdr_len))});
    EXPECT_EQ(v.status, c.accepted ? 0 : 1) << v.out;
    EXPECT_EQ(contains(v.out, "above the switch's limit"), !c.accepted) << v.out;

    std::vector<std::string> args = {"--type", std::to_string(c.type), "--version", "2.0.0.1"};
    if (c.hdr_len) args.insert(args.end(), {"--hdr-len", std::to_string(c.hdr_len)});
    args.push_back(file("payload", payload));
    EXPECT_EQ(create(args), c.accepted ? 0 : 1);
    EXPECT_EQ(std::filesystem::exists(path("made.img")), c.accepted);
}

INSTANTIATE_TEST_SUITE_P(Bootimg, SizeLimit,
                         ::testing::Values(Limit{"kernel_at", kKernel, 0x300000 - 16, 0, true},
                                           Limit{"kernel_over", kKernel, 0x300000 - 15, 0, false},
                                           Limit{"kernel_extended_over", kKernel, 0x300000 - 31, 32,
                                                 false},
                                           Limit{"rfs_over", kRfs, 0xF00000 - 15, 0, false},
                                           Limit{"dtb_over", kDtb, 0x40000 - 15, 0, false},
                                           Limit{"diags_over", kDiags, 0xA00000 - 15, 0, false},
                                           Limit{"uboot_payload_at", kUboot, 0x80000, 0, true},
                                           Limit{"uboot_over", kUboot, 0x80001, 0, false},
                                           Limit{"app_has_no_limit", kApp, 0x1000000, 0, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// What the switch could not use is refused before anything is written.
TEST_F(Bootimg, ARefusedCreateLeavesTheOldOutputAlone) {
    const std::string huge = file("huge", {});
    std::filesystem::resize_file(huge, image::kMaxSectionPayload + 1);  // sparse: never read
    const struct {
        std::vector<std::string> sections;
        const char* message;
    } cases[] = {
        {{"--type", "uboot", "--version", "1.0.0.0", file("p255", Bytes(255))}, "at least 256"},
        // 19 bytes: readers take 20 at a section start.
        {{"--type", "app", "--version", "1.0.0.0", file("p3", Bytes(3))}, "would not be seen"},
        {{"--type", "app", "--version", "1.0.0.0", huge}, "do not fit a section"},
        {{"--type", "app", "--version", "1.0.0.0", file("p1", {1}), "--type", "app", "--version",
          "1.0.0.1", path("no-such-file")},
         "no-such-file"},
    };
    const std::string out = file("keep.img", kWorkedExample);
    for (const auto& c : cases) {
        std::vector<std::string> args = {"create", "-o", out};
        args.insert(args.end(), c.sections.begin(), c.sections.end());
        const Result r = bootimg(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(contains(r.err, c.message)) << r.err;
        EXPECT_EQ(read_file(out), kWorkedExample);
    }
    // No temporary left behind: only keep.img and the payloads.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path()), {}), 5);
}

#ifdef HAVE_ZLIB
TEST_F(Bootimg, StoredCrcIsTheComplementOfZlibsCrc32) {
    std::mt19937 rng(3);
    Bytes payload(70000);
    for (auto& b : payload) b = static_cast<std::uint8_t>(rng());
    ASSERT_EQ(create({"--type", "rfs", "--version", "4.0.0.1", file("p", payload)}), 0);
    const Bytes s = read_file(path("made.img"));
    ASSERT_EQ(s.size(), payload.size() + 16);
    EXPECT_EQ(bytes::load_be32(s),
              ~static_cast<std::uint32_t>(crc32(0, s.data() + 4, static_cast<uInt>(s.size() - 4))));
}
#endif

TEST_F(Bootimg, ExtractTakesThePayloadAndRefusesADamagedSection) {
    const Bytes payload = {'k', 'e', 'r', 'n'};
    Bytes bad = section(kDtb, 0, {'d', 't', 'b'}, 20);
    bad.back() ^= 1;
    const auto f = file("c.img", kWorkedExample + section(kKernel, 0, payload, 40) + bad);

    ASSERT_EQ(bootimg({"extract", f, "1", path("k")}).status, 0);
    EXPECT_EQ(read_file(path("k")), payload);

    const Result refused = bootimg({"extract", f, "2", path("d")});
    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(contains(refused.err, "bad crc")) << refused.err;
    EXPECT_FALSE(std::filesystem::exists(path("d")));
    ASSERT_EQ(bootimg({"extract", "--force", f, "2", path("d")}).status, 0);
    EXPECT_EQ(read_file(path("d")), (Bytes{'d', 't', 'b' ^ 1}));

    EXPECT_EQ(bootimg({"extract", f, "3", path("x")}).status, 1);
}

struct Usage {
    const char* name;
    const char* command_line;  // split on blanks
};

class UsageError : public ::testing::TestWithParam<Usage> {};

TEST_P(UsageError, ExitsWithTwoAndSaysWhy) {
    std::vector<std::string> args;
    std::istringstream words(GetParam().command_line);
    for (std::string w; words >> w;) args.push_back(w);
    const Result r = bootimg(args);
    EXPECT_EQ(r.status, 2);
    EXPECT_FALSE(r.err.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Bootimg, UsageError,
    ::testing::Values(
        Usage{"no_command", ""}, Usage{"unknown_command", "pack"},
        Usage{"create_without_output", "create --type app --version 1.0.0.0 f"},
        Usage{"create_flag_in_type_code", "create -o o --type 0x81504754 --version 1.0.0.0 f"},
        Usage{"create_bad_version", "create -o o --type app --version 1.2.3 f"},
        Usage{"create_hdr_len_19", "create -o o --type app --version 1.0.0.0 --hdr-len 19 f"},
        Usage{"extract_bad_index", "extract f one o"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
