// libFuzzer target: a container as a switch that holds a key checks it, from
// arbitrary bytes. The switch's key is fixed (its seed is all 7s) and the
// seed corpus holds containers signed with it, so the fuzzer starts from
// images that pass. Besides no crash: a container is only ever admitted
// when its signature verifies here too, its sections follow the manifest
// exactly to the end of the file and each one hashes to its listed value;
// and a manifest that decodes encodes to the very same bytes.
#include <sodium.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <span>
#include <vector>

#include "image/container.hpp"
#include "image/manifest.hpp"
#include "image/signature.hpp"

namespace {

signing::Keys switch_keys() {
    std::uint8_t seed[32];
    std::memset(seed, 7, sizeof seed);
    std::uint8_t sk[crypto_sign_SECRETKEYBYTES];
    signing::Keys keys;
    crypto_sign_seed_keypair(keys.key[0].bytes.data(), sk, seed);
    keys.key[0].id = signing::key_id(keys.key[0].bytes);
    keys.count = 1;
    return keys;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const signing::Keys keys = switch_keys();
    const std::span<const std::uint8_t> bytes(data, size);

    // The payload decoder on its own.
    manifest::Manifest m;
    if (manifest::decode(bytes, m) == manifest::Parse::Ok) {
        std::vector<std::uint8_t> again(manifest::kMaxPayload);
        if (manifest::encode(m, again) != size || std::memcmp(again.data(), data, size) != 0)
            __builtin_trap();
    }

    // The whole check, over a file as the installer opens it.
    const int fd = memfd_create("container", 0);
    if (fd < 0) return 0;
    if (size && write(fd, data, size) != static_cast<ssize_t>(size)) {
        close(fd);
        return 0;
    }
    std::FILE* f = fdopen(fd, "rb");
    if (!f) {
        close(fd);
        return 0;
    }
    const signing::Result r = signing::check_container(f, keys, 3);
    std::fclose(f);
    if (r.verdict != signing::Verdict::Good) return 0;

    const manifest::Manifest& s = r.manifest;
    const image::SectionHeader h = image::decode_header(bytes.first<image::kHeaderProbeSize>());
    const auto payload = bytes.subspan(image::section_geometry(h).payload_offset, s.signed_size);
    if (crypto_sign_verify_detached(s.signature.data(), payload.data(), s.signed_size,
                                    keys.key[0].bytes.data()) != 0 ||
        s.counter < 3)
        __builtin_trap();
    std::uint64_t pos = r.manifest_size;
    for (std::uint32_t i = 0; i < s.count; ++i) {
        std::uint8_t digest[crypto_hash_sha256_BYTES];
        crypto_hash_sha256(digest, data + pos, s.entries[i].size);
        if (std::memcmp(digest, s.entries[i].sha256.data(), sizeof digest) != 0) __builtin_trap();
        pos += s.entries[i].size;
    }
    // Only the XMODEM sender's padding may follow the last listed section.
    if (pos > size || size - pos >= 1024) __builtin_trap();
    for (; pos < size; ++pos)
        if (data[pos] != 0x1A) __builtin_trap();
    return 0;
}
