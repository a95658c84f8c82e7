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

using testing_support::PrintTo;

using Bytes = std::vector<std::uint8_t>;
using testing_support::hex;
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
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
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

// One section laid out field by field. hdr_len 0 gives a basic header; the
// extended header's bytes 20.. are filled with `filler`.
Bytes section(std::uint32_t magic, std::uint32_t id, const Bytes& payload,
              std::uint16_t hdr_len = 0, std::uint8_t filler = 0) {
    Bytes s;
    put32(s, 0);
    put32(s, static_cast<std::uint32_t>(payload.size()));
    put32(s, hdr_len ? magic | kExtended : magic);
    put32(s, id);
    if (hdr_len) {
        s.insert(s.end(), {0, 0, static_cast<std::uint8_t>(hdr_len >> 8),
                           static_cast<std::uint8_t>(hdr_len)});
        s.resize(hdr_len, filler);
    }
    s.insert(s.end(), payload.begin(), payload.end());
    bytes::store_be32(s, image::crc_of(std::span(s).subspan(4)));
    return s;
}

// A boot loader payload of `n` bytes with the copy of its header (len, magic,
// id) at offset 240, as the boot loader partition must hold it.
Bytes boot_loader_payload(std::size_t n, std::uint32_t id, std::uint16_t hdr_len = 0) {
    Bytes p(n, 0x5A);
    Bytes copy;
    put32(copy, 0);
    put32(copy, static_cast<std::uint32_t>(n));
    put32(copy, hdr_len ? kUboot | kExtended : kUboot);
    put32(copy, id);
    std::copy(copy.begin(), copy.end(), p.begin() + 240);
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
        return (dir_ / name).string();
    }
    std::string path(const std::string& name) { return (dir_ / name).string(); }
    TemporaryDirectory dir_;
};

const Bytes kWorkedExample = hex("87 D9 94 00 00 00 00 04 01 50 47 54 01 02 03 04 61 62 63 64");

TEST_F(Bootimg, WorkedExampleIsListedAndVerified) {
    const auto f = file("example.img", kWorkedExample);
    const Result v = bootimg({"verify", f});
    EXPECT_EQ(v.status, 0) << v.out;
    EXPECT_TRUE(contains(v.out, "OK, 1 section")) << v.out;

    const Result l = bootimg({"list", f});
    EXPECT_EQ(l.status, 0);
    for (const char* field : {"app", "0x01504754", "1.2.3.4", "basic", "0x87d99400", "good"})
        EXPECT_TRUE(contains(l.out, field)) << field << " missing from\n" << l.out;

    // The tool's writer lays out exactly the same 20 bytes.
    const auto payload = file("abcd", {'a', 'b', 'c', 'd'});
    const Result c = bootimg(
        {"create", "-o", path("made.img"), "--type", "app", "--version", "1.2.3.4", payload});
    ASSERT_EQ(c.status, 0) << c.err;
    EXPECT_EQ(read_file(path("made.img")), kWorkedExample);
}

struct Hostile {
    const char* name;
    Bytes container;
    const char* problem;  // expected in verify's report
};

class HostileContainer : public Bootimg, public ::testing::WithParamInterface<Hostile> {};

// Each must be refused with a reason, without reading outside the file (the
// sanitizer build catches any read past the exact-size buffer) and without
// looping on a section of size 0.
TEST_P(HostileContainer, IsRefusedWithAReason) {
    const Hostile& h = GetParam();
    const auto f = file("hostile.img", h.container);
    const Result v = bootimg({"verify", f});
    EXPECT_EQ(v.status, 1) << v.out;
    EXPECT_TRUE(contains(v.out, h.problem)) << v.out;
    EXPECT_EQ(bootimg({"list", f}).status, 1);
    EXPECT_EQ(bootimg({"list", "--json", f}).status, 1);
    const Result forced = bootimg({"extract", "--force", f, "0", path("payload")});
    EXPECT_NE(forced.status, 2) << forced.err;
}

Bytes header(std::uint32_t len, std::uint32_t magic, std::uint16_t hdr_len) {
    Bytes b;
    put32(b, 0x12345678);
    put32(b, len);
    put32(b, magic);
    put32(b, 0x01000000);
    b.insert(b.end(),
             {0, 0, static_cast<std::uint8_t>(hdr_len >> 8), static_cast<std::uint8_t>(hdr_len)});
    return b;
}

INSTANTIATE_TEST_SUITE_P(
    Bootimg, HostileContainer,
    ::testing::Values(
        Hostile{"empty_file", {}, "no section"},
        // Application 1.2.3.4 with payload "abc": 19 bytes, one fewer than a
        // reader takes at a section start.
        Hostile{"nineteen_byte_section",
                hex("A5 AF 3B 7A 00 00 00 03 01 50 47 54 01 02 03 04 61 62 63"), "no section"},
        Hostile{"basic_len_wraps", header(0xFFFFFFF8, kKernel, 0) + Bytes(40, 1), "wraps"},
        Hostile{"extended_len_wraps", header(0xFFFFFFF0, kKernel | kExtended, 32) + Bytes(40),
                "wraps"},
        Hostile{"hdr_len_19", header(4, kApp | kExtended, 19) + Bytes(4), "below the 20"},
        Hostile{"hdr_len_0_len_0", header(0, kApp | kExtended, 0) + Bytes(40), "below the 20"},
        Hostile{"past_end", header(100, kDtb, 0) + Bytes(10), "truncated"},
        Hostile{"second_past_end", kWorkedExample + header(100, kDtb, 32) + Bytes(10),
                "section 1 at offset 20 (0x14): truncated"},
        Hostile{"trailing_garbage", kWorkedExample + Bytes(7, 0xEE),
                "section 1 at offset 20 (0x14): 7 trailing bytes"},
        Hostile{"garbage_section", kWorkedExample + Bytes(25, 0xFF), "wraps"},
        Hostile{"bad_crc_then_good",
                hex("87 D9 94 01") + Bytes(kWorkedExample.begin() + 4, kWorkedExample.end()) +
                    kWorkedExample + Bytes(3),
                "section 0 at offset 0 (0x0): bad crc: stored 0x87d99401, computed 0x87d99400"}),
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
    const Bytes payload = c.type == kUboot ? boot_loader_payload(c.payload, 0x01000000, c.hdr_len)
                                           : Bytes(c.payload, 0x33);
    const Result v =
        bootimg({"verify", file("limit.img", section(c.type, 0x01000000, payload, c.hdr_len))});
    EXPECT_EQ(v.status, c.accepted ? 0 : 1) << v.out;
    if (!c.accepted) {
        EXPECT_TRUE(contains(v.out, "above the switch's limit")) << v.out;
    }

    std::vector<std::string> args = {
        "create", "-o", path("made.img"), "--type", std::to_string(c.type), "--version", "1.0.0.0"};
    if (c.hdr_len) args.insert(args.end(), {"--hdr-len", std::to_string(c.hdr_len)});
    args.push_back(file("payload", payload));
    EXPECT_EQ(bootimg(args).status, c.accepted ? 0 : 1);
    EXPECT_EQ(std::filesystem::exists(path("made.img")), c.accepted);
}

INSTANTIATE_TEST_SUITE_P(
    Bootimg, SizeLimit,
    ::testing::Values(Limit{"kernel_at", kKernel, 0x300000 - 16, 0, true},
                      Limit{"kernel_over", kKernel, 0x300000 - 15, 0, false},
                      Limit{"kernel_extended_at", kKernel, 0x300000 - 32, 32, true},
                      Limit{"kernel_extended_over", kKernel, 0x300000 - 31, 32, false},
                      Limit{"rfs_over", kRfs, 0xF00000 - 15, 0, false},
                      Limit{"dtb_at", kDtb, 0x40000 - 16, 0, true},
                      Limit{"dtb_over", kDtb, 0x40000 - 15, 0, false},
                      Limit{"diags_over", kDiags, 0xA00000 - 15, 0, false},
                      Limit{"uboot_payload_at", kUboot, 0x80000, 0, true},
                      Limit{"uboot_extended_payload_at", kUboot, 0x80000, 64, true},
                      Limit{"uboot_over", kUboot, 0x80001, 0, false},
                      Limit{"app_has_no_limit", kApp, 0x1000000, 0, true}),
    [](const auto& info) { return std::string(info.param.name); });

struct CopyCase {
    const char* name;
    std::size_t payload;
    int field;  // header-copy word to change (0 crc, 1 len, 2 magic, 3 id), -1 none
    bool blank;
    const char* problem;  // nullptr: verify passes
};

class BootLoaderCopy : public Bootimg, public ::testing::WithParamInterface<CopyCase> {};

TEST_P(BootLoaderCopy, LenMagicAndIdMustMatchTheHeader) {
    const CopyCase& c = GetParam();
    Bytes payload =
        c.payload >= 256 ? boot_loader_payload(c.payload, 0x02000001) : Bytes(c.payload, 0);
    if (c.field >= 0) payload[240 + 4 * c.field + 3] ^= 0x01;
    if (c.blank) std::fill(payload.begin() + 240, payload.begin() + 256, 0);
    const Result v = bootimg({"verify", file("uboot.img", section(kUboot, 0x02000001, payload))});
    EXPECT_EQ(v.status, c.problem ? 1 : 0) << v.out;
    if (c.problem) {
        EXPECT_TRUE(contains(v.out, c.problem)) << v.out;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Bootimg, BootLoaderCopy,
    ::testing::Values(CopyCase{"present", 4096, -1, false, nullptr},
                      CopyCase{"crc_word_not_compared", 4096, 0, false, nullptr},
                      CopyCase{"len_differs", 4096, 1, false, "does not match"},
                      CopyCase{"magic_differs", 4096, 2, false, "does not match"},
                      CopyCase{"id_differs", 4096, 3, false, "id 2.0.0.0, header"},
                      CopyCase{"missing", 4096, -1, true, "missing"},
                      CopyCase{"payload_255", 255, -1, false, "too short"}),
    [](const auto& info) { return std::string(info.param.name); });

struct Refusal {
    const char* name;
    const char* type;
    std::size_t payload;
    const char* message;
};

class CreateRefuses : public Bootimg, public ::testing::WithParamInterface<Refusal> {};

TEST_P(CreateRefuses, WhatTheSwitchCouldNotUse) {
    const Refusal& c = GetParam();
    const Result r = bootimg({"create", "-o", path("out.img"), "--type", c.type, "--version",
                              "1.0.0.0", file("payload", Bytes(c.payload))});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, c.message)) << r.err;
    EXPECT_FALSE(std::filesystem::exists(path("out.img")));
}

INSTANTIATE_TEST_SUITE_P(
    Bootimg, CreateRefuses,
    ::testing::Values(Refusal{"boot_loader_without_room_for_copy", "uboot", 255, "at least 256"},
                      // 19 bytes: readers take 20 at a section start.
                      Refusal{"last_section_unseen", "app", 3, "would not be seen"}),
    [](const auto& info) { return std::string(info.param.name); });

// Nearly 4 GiB (a sparse file): refused with a message before it is read,
// where the section writer would have thrown.
TEST_F(Bootimg, APayloadTooBigForAnySectionIsRefusedUnread) {
    const std::string huge = file("huge", {});
    std::filesystem::resize_file(huge, image::kMaxSectionPayload + 1);
    const Result r = bootimg({"create", "-o", path("out.img"), "--type", "app", "--version",
                              "1.0.0.0", huge});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "do not fit a section")) << r.err;
    EXPECT_FALSE(std::filesystem::exists(path("out.img")));
}

TEST_F(Bootimg, ExtendedHeaderBytesAreCoveredByTheCrc) {
    Bytes s = section(kKernel, 0x03000000, {1, 2, 3}, 32, 0xA5);
    const Result good = bootimg({"verify", file("ext.img", s)});
    EXPECT_EQ(good.status, 0) << good.out;
    s[25] ^= 0x10;
    const Result bad = bootimg({"verify", file("ext.img", s)});
    EXPECT_EQ(bad.status, 1);
    EXPECT_TRUE(contains(bad.out, "bad crc")) << bad.out;

    const Result c = bootimg({"create", "-o", path("made.img"), "--type", "kernel", "--version",
                              "3.0.0.0", "--hdr-len", "32", file("p", {1, 2, 3})});
    ASSERT_EQ(c.status, 0) << c.err;
    EXPECT_EQ(read_file(path("made.img")), section(kKernel, 0x03000000, {1, 2, 3}, 32, 0));
}

TEST_F(Bootimg, UnknownTypeIsNotedNotFailed) {
    const Result v =
        bootimg({"verify", file("u.img", section(0x07504754, 0, {9}) + kWorkedExample)});
    EXPECT_EQ(v.status, 0) << v.out;
    EXPECT_TRUE(contains(v.out, "note: section 0 at offset 0 (0x0): unknown type code 0x07504754"))
        << v.out;
}

#ifdef HAVE_ZLIB
TEST_F(Bootimg, StoredCrcIsTheComplementOfZlibsCrc32) {
    std::mt19937 rng(3);
    Bytes payload(70000);
    for (auto& b : payload) b = static_cast<std::uint8_t>(rng());
    ASSERT_EQ(bootimg({"create", "-o", path("r.img"), "--type", "rfs", "--version", "4.0.0.1",
                       file("p", payload)})
                  .status,
              0);
    const Bytes s = read_file(path("r.img"));
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

TEST_F(Bootimg, FailedCreateLeavesTheOldOutputAlone) {
    const auto out = file("keep.img", kWorkedExample);
    const Result r =
        bootimg({"create", "-o", out, "--type", "app", "--version", "1.0.0.0", file("p", {1}),
                 "--type", "app", "--version", "1.0.0.1", path("no-such-file")});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "no-such-file")) << r.err;
    EXPECT_EQ(read_file(out), kWorkedExample);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path()),
                            std::filesystem::directory_iterator()),
              2);  // keep.img and p: no temporary left behind
}

// jq, a JSON reader that is not ours, reads the document back.
TEST_F(Bootimg, ListJsonRoundTripsThroughJq) {
    if (testing_support::run("command -v jq >/dev/null 2>&1") != 0) GTEST_SKIP() << "no jq";
    const std::string odd_name = "odd \"name\\\t\xc3\xa9.img";
    ASSERT_EQ(bootimg({"create",
                       "-o",
                       path(odd_name),
                       "--type",
                       "app",
                       "--version",
                       "1.2.3.4",
                       file("a", {'a', 'b', 'c', 'd'}),
                       "--type",
                       "uboot",
                       "--version",
                       "0.9.255.1",
                       "--hdr-len",
                       "32",
                       file("u", Bytes(300, 0xFF)),
                       "--type",
                       "0x07504754",
                       "--version",
                       "7.0.0.0",
                       file("x", {1, 2, 3, 4})})
                  .status,
              0);
    const Result l = bootimg({"list", "--json", path(odd_name)});
    ASSERT_EQ(l.status, 0) << l.err;
    write_file(dir_ / "list.json", l.out);
    const std::string query =
        R"(.file, .ok, (.sections[] | [.index, .offset, .type, .type_code, .version, .header, )"
        R"(.header_length, .payload_offset, .len, .size, .crc == .crc_computed, .crc_ok, )"
        R"((.notes | length)] | @csv))";
    ASSERT_EQ(testing_support::run("jq -r '" + query + "' " + (dir_ / "list.json").string() +
                                   " > " + (dir_ / "jq.txt").string()),
              0)
        << l.out;
    const Bytes got = read_file(dir_ / "jq.txt");
    EXPECT_EQ(std::string(got.begin(), got.end()),
              path(odd_name) + "\n" +
                  "true\n"
                  "0,0,\"app\",22038356,\"1.2.3.4\",\"basic\",16,16,4,20,true,true,0\n"
                  "1,20,\"uboot\",38815572,\"0.9.255.1\",\"extended\",32,32,300,332,true,true,0\n"
                  "2,352,,122701652,\"7.0.0.0\",\"basic\",16,16,4,20,true,true,1\n")
        << l.out;
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
        Usage{"create_unknown_type", "create -o o --type bios --version 1.0.0.0 f"},
        Usage{"create_flag_in_type_code", "create -o o --type 0x81504754 --version 1.0.0.0 f"},
        Usage{"create_bad_version", "create -o o --type app --version 1.2.3 f"},
        Usage{"create_hdr_len_19", "create -o o --type app --version 1.0.0.0 --hdr-len 19 f"},
        Usage{"create_hdr_len_65536", "create -o o --type app --version 1.0.0.0 --hdr-len 65536 f"},
        Usage{"create_no_version", "create -o o --type app f"},
        Usage{"create_options_after_last_file",
              "create -o o --type app --version 1.0.0.0 f --type app"},
        Usage{"create_no_section", "create -o o"}, Usage{"list_no_file", "list --json"},
        Usage{"verify_two_files", "verify a b"}, Usage{"extract_no_out", "extract f 0"},
        Usage{"extract_bad_index", "extract f one o"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BootimgHelp, DocumentsEveryCommandAndLimit) {
    const Result r = bootimg({"--help"});
    EXPECT_EQ(r.status, 0);
    for (const char* word : {"create", "list [--json]", "verify", "extract [--force]", "--hdr-len",
                             "0x300000", "0x080000", "payload offset 240", "Exit status"})
        EXPECT_TRUE(contains(r.out, word)) << word;
}

}  // namespace
