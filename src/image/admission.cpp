#include "image/signature.hpp"

#include <cstdio>

#include "common/unique_fd.hpp"
#include "launch/boot_state.hpp"

namespace signing {

namespace {

bool loaded = false;
Keys cached;

}  // namespace

Keys load_keys() {
    Keys keys;
    for (const char* path : kKeyPaths) {
        common::UniqueFile f(std::fopen(path, "rb"));
        if (!f) continue;
        ++keys.files;
        Key k;
        std::uint8_t extra = 0;
        if (std::fread(k.bytes.data(), 1, k.bytes.size(), f.get()) != k.bytes.size() ||
            std::fread(&extra, 1, 1, f.get()) != 0) {
            std::printf("%s is not a 32-byte public key: not used (images signed with it "
                        "are refused)\n",
                        path);
            continue;
        }
        k.id = key_id(k.bytes);
        keys.key[keys.count++] = k;
    }
    return keys;
}

bool required() {
    if (!loaded) {
        cached = load_keys();
        loaded = true;
    }
    return cached.files > 0;
}

void forget_keys() {
    loaded = false;
    cached = Keys{};
}

std::uint32_t minimum_counter() {
    return bootstate::min_security();
}

void raise_minimum(std::uint32_t counter) {
    bootstate::raise_min_security(counter);
}

bool admit(std::FILE* f, Result* out) {
    if (!required()) return true;
    std::printf("Checking the image's signature... ");
    std::fflush(stdout);
    const Result r = check_container(f, cached, minimum_counter());
    if (r.verdict != Verdict::Good) {
        std::puts("");
        report(r, stdout);
        return false;
    }
    std::printf("signed by key ");
    for (std::uint8_t c : r.manifest.key_id) std::printf("%02x", c);
    std::printf(", security counter %u\n", static_cast<unsigned>(r.manifest.counter));
    if (out) *out = r;
    return true;
}

}  // namespace signing
