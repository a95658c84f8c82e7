// Signed images. A switch that holds a public key in its root file system
// (kKeyPaths: up to two, so that a new key can be rolled out in an image
// signed by the old one) installs and stick-boots only containers whose
// signed manifest (image/manifest.hpp) verifies with one of them, lists every
// section that follows it with its size and SHA-256, is for this product and
// carries a security counter no lower than the switch's minimum. The whole
// container is read once, in pieces, before anything is written. A switch
// with no key checks nothing and says nothing new.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <span>

#include "image/manifest.hpp"

namespace signing {

inline constexpr const char* kKeyPaths[] = {"/etc/bootlaunch/image-key1.pub",
                                            "/etc/bootlaunch/image-key2.pub"};
inline constexpr std::size_t kMaxKeys = 2;

struct Key {
    std::array<std::uint8_t, manifest::kPublicKeySize> bytes{};
    std::array<std::uint8_t, manifest::kKeyIdSize> id{};
};

struct Keys {
    std::array<Key, kMaxKeys> key{};
    std::size_t count = 0;
    std::size_t files = 0;  // key files present, usable or not
};

// The keys in the root file system; a key file that is not exactly 32 bytes
// is reported and not used.
Keys load_keys();
// True when the root file system holds a key file (read once per run). A
// damaged one still counts: a switch that was given a key never falls back
// to taking unsigned images, it refuses everything until it has a good one.
bool required();
void forget_keys();  // for tests that change the keys within one process

enum class Verdict {
    Good,
    Unreadable,
    Unsigned,         // the first section is not a manifest
    DamagedManifest,  // the manifest section fails its checksum or its layout
    UnknownKey,
    BadSignature,
    WrongProduct,
    Rollback,
    Truncated,      // the file ends inside a listed section
    SizeDiffers,    // a section's own header states another size
    HashDiffers,
    Unlisted,       // bytes after the last listed section
};

struct Result {
    Verdict verdict = Verdict::Unreadable;
    manifest::Manifest manifest{};
    std::uint32_t section = 0;     // the section concerned, 1 = the manifest
    std::uint32_t type = 0;        // its type code, where known
    std::uint32_t size = 0;        // its own stated size (SizeDiffers)
    std::uint32_t minimum = 0;     // the switch's minimum (Rollback)
    std::uint64_t manifest_size = 0;  // bytes of the manifest section
    int error = 0;                 // errno (Unreadable)
};

// The key id of a public key: the first 8 bytes of its SHA-256.
std::array<std::uint8_t, manifest::kKeyIdSize> key_id(std::span<const std::uint8_t> key);

// Checks the container in `f` (read from its start, in pieces) against
// `keys` and the lowest security counter this switch takes.
Result check_container(std::FILE* f, const Keys& keys, std::uint32_t minimum);

// The refusal's line ("Refused: ..."), nothing for Good.
void report(const Result& r, std::FILE* out);

// SHA-256 of `data` equals `expected`.
bool hash_matches(std::span<const std::uint8_t> data,
                  const std::array<std::uint8_t, manifest::kHashSize>& expected);

// For a container that passed check_container: true when the section read
// at `pos` (header included) is one the manifest lists there, with its hash.
// The installer and the stick boot check each section again as they read it
// for use, so that a file changed after its check is still refused.
bool section_signed(const Result& r, std::uint64_t pos, std::span<const std::uint8_t> section);

// The switch's gate for a container about to be installed or booted: true
// when the switch holds no key, or when the container in `f` verifies (then
// `out` holds the check's result). On a refusal the reason has been printed.
bool admit(std::FILE* f, Result* out);

// The lowest security counter this switch takes, and raising it once an
// image with a higher one is installed.
std::uint32_t minimum_counter();
void raise_minimum(std::uint32_t counter);

}  // namespace signing
