// Signing containers: shared by bootimg sign and bootimg create --key.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "commands.hpp"
#include "image/manifest.hpp"
#include "keys.hpp"

namespace bootimg {

struct SectionReport;

struct SignRequest {
    std::string output;  // for messages (and sign's OUT)
    std::string product{manifest::kProduct};
    std::uint32_t counter = 0;
    PublicKey public_key{};
    std::optional<Seed> seed;  // signs by itself; else `signature` or `to_sign`
    std::array<std::uint8_t, manifest::kSignatureSize> signature{};
    std::string to_sign;  // write the bytes to be signed here instead
};

// What the command line named, before the files are read.
struct SignOptions {
    std::string key, public_key, signature;
    bool counter = false;
};

// --key, --public, --signature, --to-sign, --counter, --product at args[i].
bool sign_option(Args args, std::size_t& i, SignRequest& r, SignOptions& seen);
// Reads the keys and the signature the options named; false after a message.
bool complete_sign_request(SignRequest& r, const SignOptions& seen, const Io& io,
                           const char* command);

// Puts a signed manifest in front of `container` (replacing one already
// there), or with `to_sign` writes the bytes to be signed and leaves
// `container` as it is. False after a message.
bool sign_container(std::vector<std::uint8_t>& container, const SignRequest& request,
                    const Io& io, const char* command);

bool is_manifest(const SectionReport& s);

}  // namespace bootimg
