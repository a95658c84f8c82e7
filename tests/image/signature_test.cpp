// The installer on a switch that holds a public key: containers signed here
// with libsodium (the manifest laid out by hand from its documented layout,
// not by bootimg) install; every kind of refusal says its line and writes
// nothing; and every single-bit flip of a signed container is refused before
// the first flash write (a sample of positions here; BOOTLAUNCH_ALL_BIT_FLIPS=1
// flips every bit, see scripts/bit-flip-campaign).
#include <gtest/gtest.h>
#include <sodium.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>

#include "common/bytes.hpp"
#include "common/unique_fd.hpp"
#include "image/container.hpp"
#include "image/installer.hpp"
#include "image/section_writer.hpp"
#include "image/signature.hpp"
#include "launch/boot_state.hpp"
#include "support/sim_board.hpp"
#include "support/switch_fixture.hpp"
#include "support/switch_root.hpp"
#include "support/testing.hpp"

namespace {

using image::ImageType;
using testing_support::read_file;
using testing_support::StdinFeed;
using testing_support::StdoutCapture;
using testing_support::write_file;
using Bytes = std::vector<std::uint8_t>;

constexpr const char* kContainer = "/scratch/container.img";
const bool fast_clock = ::setenv("BOOTLAUNCH_SIM_CLOCK", "50", 0) == 0;

struct KeyPair {
    std::uint8_t pk[crypto_sign_PUBLICKEYBYTES];
    std::uint8_t sk[crypto_sign_SECRETKEYBYTES];
    explicit KeyPair(std::uint8_t fill) {
        std::uint8_t seed[32];
        std::memset(seed, fill, sizeof seed);
        crypto_sign_seed_keypair(pk, sk, seed);
    }
};

Bytes section(ImageType type, std::size_t size, std::uint32_t id, std::uint8_t seed) {
    Bytes p(size);
    for (std::size_t i = 0; i < p.size(); ++i) p[i] = static_cast<std::uint8_t>(seed + i * 13);
    return image::build_section({image::code(type), id, 0, false}, p);
}

struct Signing {
    std::uint32_t counter = 5;
    std::string product = "TQV4410";
};

// The manifest section for `sections`, signed with `key`, laid out byte by
// byte as the manifest's header comment documents it.
Bytes manifest_for(const std::vector<Bytes>& sections, const KeyPair& key, const Signing& s) {
    Bytes p(40 + 36 * sections.size() + 64, 0);
    const std::uint8_t magic[] = {'B', 'L', 'S', 'M', 1};
    std::memcpy(p.data(), magic, sizeof magic);
    std::memcpy(p.data() + 8, s.product.data(), s.product.size());
    std::uint8_t digest[32];
    crypto_hash_sha256(digest, key.pk, sizeof key.pk);
    std::memcpy(p.data() + 24, digest, 8);
    bytes::store_be32(std::span(p).subspan(32, 4), s.counter);
    bytes::store_be32(std::span(p).subspan(36, 4), static_cast<std::uint32_t>(sections.size()));
    for (std::size_t i = 0; i < sections.size(); ++i) {
        const auto e = std::span(p).subspan(40 + 36 * i, 36);
        bytes::store_be32(e.first(4), static_cast<std::uint32_t>(sections[i].size()));
        crypto_hash_sha256(e.data() + 4, sections[i].data(), sections[i].size());
    }
    const std::size_t signed_size = p.size() - 64;
    crypto_sign_detached(p.data() + signed_size, nullptr, p.data(), signed_size, key.sk);
    return image::build_section({0x07504754, 0x00000001, 0, false}, p);
}

Bytes join(const std::vector<Bytes>& parts) {
    Bytes out;
    for (const Bytes& b : parts) out.insert(out.end(), b.begin(), b.end());
    return out;
}

class SignedInstalls : public testing_support::SwitchTest<> {
protected:
    void SetUp() override {
        SwitchTest::SetUp();
        if (IsSkipped()) return;
        ::mkdir("/etc", 0755);
        ::mkdir("/etc/bootlaunch", 0755);
        write_file(signing::kKeyPaths[0], Bytes(vendor.pk, vendor.pk + sizeof vendor.pk));
        signing::forget_keys();
        board->set_partition("mtd-kernel", Bytes(0x80000, 0x5A));
    }
    void TearDown() override {
        signing::forget_keys();
        SwitchTest::TearDown();
    }

    struct Outcome {
        int result;
        std::string out;
    };
    Outcome install(const Bytes& container, int slot = 1) {
        write_file(kContainer, container);
        StdinFeed feed("");
        StdoutCapture out;
        const int result = processTesselImage(kContainer, 0, slot);
        return {result, out.text()};
    }
    // What an install may change: the kernel partition, the slots, the
    // flash file system's records.
    Bytes written() const {
        Bytes all = board->partition("mtd-kernel");
        for (const char* p : {"/user/images/image1", "/user/images/image2",
                              "/user/images/boot-state"}) {
            const Bytes b = read_file(p);
            all.insert(all.end(), b.begin(), b.end());
            all.push_back(0xA5);  // keeps "no file" apart from an empty one
        }
        return all;
    }

public:
    const KeyPair vendor{0x11};
    const KeyPair stranger{0x22};
    const Bytes kernel = section(ImageType::Kernel, 3000, 0x04130001, 3);
    const Bytes app = section(ImageType::Application, 2000, 0x01000009, 9);
    Bytes signed_container(const Signing& s = {}) const {
        return join({manifest_for({kernel, app}, vendor, s), kernel, app});
    }
};

TEST_F(SignedInstalls, ASignedContainerInstallsEverySectionAndRaisesTheMinimum) {
    const Outcome run = install(signed_container({7, "TQV4410"}));
    EXPECT_EQ(run.result, 1) << run.out;
    EXPECT_NE(run.out.find(", security counter 7\n"), std::string::npos) << run.out;
    EXPECT_EQ(read_file("/user/images/image1"), app);
    const Bytes k = board->partition("mtd-kernel");
    EXPECT_TRUE(std::equal(kernel.begin(), kernel.end(), k.begin()));
    const auto record = bootstate::load();
    ASSERT_TRUE(record);
    EXPECT_EQ(record->min_security, 7u);
    // The same counter again is no rollback; a lower one is.
    EXPECT_EQ(install(signed_container({7, "TQV4410"})).result, 1);
    const Outcome older = install(signed_container({6, "TQV4410"}));
    EXPECT_EQ(older.result, 0);
    EXPECT_NE(older.out.find("Refused: security counter 6 is below this switch's minimum 7\n"),
              std::string::npos)
        << older.out;
}

struct Refusal {
    const char* name;
    Bytes (*make)(const SignedInstalls&, const Bytes& kernel, const Bytes& app);
    const char* line;
};

void PrintTo(const Refusal& r, std::ostream* os) {
    *os << r.name;
}

class Refusals : public SignedInstalls, public ::testing::WithParamInterface<Refusal> {};

TEST_P(Refusals, SayWhyAndWriteNothing) {
    const Refusal& r = GetParam();
    const Bytes before = written();
    const Outcome run = install(r.make(*this, kernel, app));
    EXPECT_EQ(run.result, 0);
    EXPECT_NE(run.out.find(std::string(r.line) + "\n"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("Installing"), std::string::npos) << run.out;
    EXPECT_EQ(written(), before);
}

const Refusal kRefusals[] = {
    {"AnUnsignedContainer", [](const SignedInstalls&, const Bytes& k, const Bytes& a) {
         return join({k, a});
     }, "Refused: the image is not signed, and this switch takes only signed images"},
    {"AStrangersSignature", [](const SignedInstalls& t, const Bytes& k, const Bytes& a) {
         return join({manifest_for({k, a}, t.stranger, {}), k, a});
     }, "which this switch does not hold"},
    {"AnotherProduct", [](const SignedInstalls& t, const Bytes& k, const Bytes& a) {
         return join({manifest_for({k, a}, t.vendor, {5, "TQV9999"}), k, a});
     }, "Refused: the image is signed for the TQV9999, not for this TQV4410"},
    {"ASectionNotListed", [](const SignedInstalls& t, const Bytes& k, const Bytes& a) {
         return join({manifest_for({k}, t.vendor, {}), k, a});
     }, "Refused: section 3 (app) is not listed in the signed manifest"},
    {"ASectionInAnotherOrder", [](const SignedInstalls& t, const Bytes& k, const Bytes& a) {
         return join({manifest_for({k, a}, t.vendor, {}), a, k});
     }, "Refused: section 2 (app) is 2016 bytes long, not the 3016 bytes signed"},
    {"AShortenedFile", [](const SignedInstalls& t, const Bytes&, const Bytes&) {
         Bytes c = t.signed_container();
         c.resize(c.size() - 1);
         return c;
     }, "Refused: the image ends inside its signed section 3 (app)"},
    {"ADamagedManifest", [](const SignedInstalls& t, const Bytes&, const Bytes&) {
         Bytes c = t.signed_container();
         c[20] ^= 0x01;  // inside the manifest, under its checksum
         return c;
     }, "Refused: the image's signed manifest is damaged"},
    {"ALastByteChanged", [](const SignedInstalls& t, const Bytes&, const Bytes&) {
         Bytes c = t.signed_container();
         c.back() ^= 0x80;
         return c;
     }, "Refused: section 3 (app) differs from its signed hash"},
};

INSTANTIATE_TEST_SUITE_P(Installer, Refusals, ::testing::ValuesIn(kRefusals),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SignedInstalls, ADamagedKeyFileRefusesEverythingRatherThanNothing) {
    write_file(signing::kKeyPaths[0], Bytes(vendor.pk, vendor.pk + 31));
    signing::forget_keys();
    const Bytes before = written();
    std::string said;
    for (const Bytes& c : {signed_container(), join({kernel, app})}) {
        const Outcome run = install(c);
        EXPECT_EQ(run.result, 0) << run.out;
        EXPECT_NE(run.out.find("Refused: "), std::string::npos) << run.out;
        said += run.out;
    }
    // Said once, when the keys are read.
    EXPECT_NE(said.find("is not a 32-byte public key: not used"), std::string::npos) << said;
    EXPECT_EQ(written(), before);
}

TEST_F(SignedInstalls, XmodemPaddingAfterTheLastSectionIsNoSectionOfItsOwn) {
    Bytes c = signed_container();
    c.insert(c.end(), 1000, 0x1A);
    EXPECT_EQ(install(c).result, 1);
    c.push_back(0x1A);
    c.push_back(0x1A);
    c.insert(c.end(), 30, 0x00);
    const Outcome run = install(c);
    EXPECT_EQ(run.result, 0);
    EXPECT_NE(run.out.find("is not listed in the signed manifest"), std::string::npos) << run.out;
}

TEST_F(SignedInstalls, ASectionIsCheckedAgainAsItIsReadForWriting) {
    const Bytes c = signed_container();
    write_file(kContainer, c);
    common::UniqueFile f(std::fopen(kContainer, "rb"));
    const signing::Result r = signing::check_container(f.get(), signing::load_keys(), 0);
    ASSERT_EQ(r.verdict, signing::Verdict::Good);
    const std::uint64_t at = r.manifest_size;
    EXPECT_TRUE(signing::section_signed(r, at, kernel));
    Bytes changed = kernel;
    changed[100] ^= 1;
    EXPECT_FALSE(signing::section_signed(r, at, changed));
    EXPECT_FALSE(signing::section_signed(r, at + 1, kernel));  // not where it was listed
    EXPECT_TRUE(signing::section_signed(r, at + kernel.size(), app));
}

// Every header and manifest bit, and a sample of the payloads' (every bit
// with BOOTLAUNCH_ALL_BIT_FLIPS=1): each flip is refused, nothing written.
TEST_F(SignedInstalls, EveryBitFlipIsRefusedBeforeAnyFlashWrite) {
    const Bytes good = signed_container();
    const std::size_t manifest_size = good.size() - kernel.size() - app.size();
    const bool all = std::getenv("BOOTLAUNCH_ALL_BIT_FLIPS") != nullptr;
    const Bytes before = written();
    std::size_t flipped = 0;
    for (std::size_t byte = 0; byte < good.size(); ++byte) {
        const std::size_t in_kernel = byte - manifest_size;
        const bool header = byte < manifest_size ||
                            (byte >= manifest_size && in_kernel < 16) ||
                            (byte >= manifest_size + kernel.size() &&
                             byte - manifest_size - kernel.size() < 16);
        if (!all && !header && byte % 61 != 0) continue;
        for (int bit = 0; bit < 8; ++bit) {
            Bytes c = good;
            c[byte] ^= static_cast<std::uint8_t>(1u << bit);
            const Outcome run = install(c);
            ASSERT_EQ(run.result, 0) << "byte " << byte << " bit " << bit << "\n" << run.out;
            ASSERT_NE(run.out.find("Refused: "), std::string::npos) << run.out;
            ++flipped;
        }
    }
    EXPECT_EQ(written(), before);
    std::printf("%zu single-bit flips of a %zu-byte signed container, all refused\n", flipped,
                good.size());
}

}  // namespace
