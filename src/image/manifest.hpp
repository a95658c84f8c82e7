// The signed manifest: a container's first section when its maker signed it.
// Its type code (0x07504754) is one that every installer steps over without
// a word and that no boot path takes, so a signed container installs and
// boots on a switch that checks no signature exactly as an unsigned one.
//
// Payload, big-endian:
//
//   0  "BLSM"              4  layout (1), then 3 bytes of zero
//   8  product name, 16 bytes, NUL-padded
//  24  key id: the first 8 bytes of the SHA-256 of the signing public key
//  32  security counter   36  number of sections listed (1..kMaxEntries)
//  40  per section that follows the manifest, in file order: its size in
//      bytes (header included) and the SHA-256 of those bytes (36 bytes)
//   then the Ed25519 signature of every payload byte before it (64 bytes)
//
// The container must end right after the last section listed (or in an
// XMODEM sender's padding: fewer than 1024 bytes of 0x1A).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace manifest {

// The manifest section's type code.
inline constexpr std::uint32_t kSectionType = 0x07504754u;

inline constexpr std::uint32_t kMagic = 0x424C534Du;  // "BLSM"
inline constexpr std::uint8_t kLayout = 1;
inline constexpr std::size_t kProductSize = 16;
inline constexpr std::size_t kKeyIdSize = 8;
inline constexpr std::size_t kHashSize = 32;
inline constexpr std::size_t kSignatureSize = 64;
inline constexpr std::size_t kPublicKeySize = 32;
inline constexpr std::size_t kFixedSize = 40;
inline constexpr std::size_t kEntrySize = 4 + kHashSize;
inline constexpr std::uint32_t kMaxEntries = 16;
inline constexpr std::size_t kMaxPayload = kFixedSize + kMaxEntries * kEntrySize + kSignatureSize;

// The product this launcher is built for: a manifest for another is refused.
inline constexpr std::string_view kProduct = "TQV4410";

struct Entry {
    std::uint32_t size = 0;
    std::array<std::uint8_t, kHashSize> sha256{};
};

struct Manifest {
    std::array<char, kProductSize + 1> product{};  // NUL-terminated
    std::array<std::uint8_t, kKeyIdSize> key_id{};
    std::uint32_t counter = 0;
    std::uint32_t count = 0;
    std::array<Entry, kMaxEntries> entries{};
    std::size_t signed_size = 0;  // payload bytes the signature covers
    std::array<std::uint8_t, kSignatureSize> signature{};

    std::string_view product_name() const { return product.data(); }
};

enum class Parse {
    Ok,
    TooShort,     // shorter than its fixed part
    NotManifest,  // wrong magic
    Layout,       // a layout this launcher does not know
    BadCount,     // no section listed, or more than kMaxEntries
    BadSize,      // the payload is not exactly as long as its count says
    BadProduct,   // the product name is not printable, NUL-padded text
};

// Decodes a manifest section's payload. Nothing in `out` is to be trusted
// before its signature is checked.
Parse decode(std::span<const std::uint8_t> payload, Manifest& out);

// The payload for `m` with its signature (the host tool's side); `out` must
// hold kMaxPayload bytes. Returns the size, or 0 when `m` cannot be encoded.
std::size_t encode(const Manifest& m, std::span<std::uint8_t> out);

}  // namespace manifest
