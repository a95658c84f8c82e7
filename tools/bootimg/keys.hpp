// Ed25519 keys as bootimg reads and writes them. A private key is the PKCS#8
// form OpenSSL uses (PEM "PRIVATE KEY", or its 48 DER bytes) or a bare
// 32-byte seed; a public key is the switch's raw 32 bytes, or OpenSSL's
// SubjectPublicKeyInfo (PEM "PUBLIC KEY", or its 44 DER bytes).
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace bootimg {

using Seed = std::array<std::uint8_t, 32>;
using PublicKey = std::array<std::uint8_t, 32>;

// False with a message naming the file when it holds no such key.
bool read_private_key(const std::string& path, Seed& seed, std::string& error);
bool read_public_key(const std::string& path, PublicKey& key, std::string& error);

PublicKey public_key_of(const Seed& seed);
// The PEM text of a private key, as `openssl genpkey -algorithm ed25519`
// writes it.
std::string private_key_pem(const Seed& seed);

}  // namespace bootimg
