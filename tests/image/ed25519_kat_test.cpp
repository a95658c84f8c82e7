// The signature check's cryptography against published answers, on every
// build (the PowerPC one under qemu-user included): Ed25519 from RFC 8032,
// section 7.1, and SHA-256 from FIPS 180-2 through the launcher's own
// helpers.
#include <gtest/gtest.h>
#include <sodium.h>

#include <string>
#include <vector>

#include "image/signature.hpp"

namespace {

std::vector<std::uint8_t> hex(const std::string& text) {
    std::vector<std::uint8_t> out(text.size() / 2);
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<std::uint8_t>(std::stoi(text.substr(2 * i, 2), nullptr, 16));
    return out;
}

struct Vector {
    const char* name;
    const char* seed;
    const char* public_key;
    const char* message;
    const char* signature;
};

constexpr Vector kRfc8032[] = {
    {"Test1EmptyMessage", "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60",
     "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", "",
     "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b"},
    {"Test2OneByte", "4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb",
     "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c", "72",
     "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613d0f11d8c387b2eaeb4302aeeb00d291612bb0c00"},
    {"Test3TwoBytes", "c5aa8df43f9f837bedb7442f31dcb7b166d38535076f094b85ce3a2e0b4458f7",
     "fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025", "af82",
     "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac18ff9b538d16f290ae67f760984dc6594a7c15e9716ed28dc027beceea1ec40a"},
};

void PrintTo(const Vector& v, std::ostream* os) {
    *os << v.name;
}

class Rfc8032 : public ::testing::TestWithParam<Vector> {};

TEST_P(Rfc8032, KeySignatureAndVerificationGiveThePublishedAnswer) {
    const Vector& v = GetParam();
    const auto seed = hex(v.seed), pk = hex(v.public_key), msg = hex(v.message),
               sig = hex(v.signature);
    std::uint8_t derived[crypto_sign_PUBLICKEYBYTES], sk[crypto_sign_SECRETKEYBYTES];
    crypto_sign_seed_keypair(derived, sk, seed.data());
    EXPECT_EQ(std::vector<std::uint8_t>(derived, derived + sizeof derived), pk);

    std::uint8_t made[crypto_sign_BYTES];
    crypto_sign_detached(made, nullptr, msg.data(), msg.size(), sk);
    EXPECT_EQ(std::vector<std::uint8_t>(made, made + sizeof made), sig);

    // What the switch runs: the detached check, which a flipped bit fails.
    EXPECT_EQ(crypto_sign_ed25519_verify_detached(sig.data(), msg.data(), msg.size(), pk.data()),
              0);
    for (std::size_t bit : {0u, 255u, 256u, 511u}) {
        auto bad = sig;
        bad[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
        EXPECT_NE(crypto_sign_ed25519_verify_detached(bad.data(), msg.data(), msg.size(),
                                                      pk.data()),
                  0)
            << "bit " << bit;
    }
}

INSTANTIATE_TEST_SUITE_P(Ed25519, Rfc8032, ::testing::ValuesIn(kRfc8032),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Sha256, TheSwitchsHashHelpersGiveTheFips180Answers) {
    const std::string abc = "abc";
    const auto span = std::span(reinterpret_cast<const std::uint8_t*>(abc.data()), abc.size());
    std::array<std::uint8_t, 32> expected{};
    const auto answer = hex("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    std::copy(answer.begin(), answer.end(), expected.begin());
    EXPECT_TRUE(signing::hash_matches(span, expected));
    expected[31] ^= 1;
    EXPECT_FALSE(signing::hash_matches(span, expected));
    // The key id is the first 8 bytes of the key's SHA-256.
    const auto id = signing::key_id(span);
    EXPECT_EQ(std::vector<std::uint8_t>(id.begin(), id.end()),
              std::vector<std::uint8_t>(answer.begin(), answer.begin() + 8));
}

}  // namespace
