// The signature check of a 15 MiB signed container (what a switch that holds
// a key does before it installs one: the manifest's signature, then every
// section streamed once through SHA-256) against Debian's sha256sum of the
// same file, as a ratio in one run (goal: at most 1.2x). Built for the
// PowerPC too, where it runs under qemu-user and prints its own time (there
// is no PowerPC sha256sum to compare with).
//   signature_bench [FILE-DIR]   (default /tmp)
#include <sodium.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "common/bytes.hpp"
#include "common/unique_fd.hpp"
#include "image/container.hpp"
#include "image/section_writer.hpp"
#include "image/signature.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr int kRuns = 5;

template <typename F>
double best_seconds(F&& run) {
    double best = 1e9;
    for (int i = 0; i < kRuns; ++i) {
        const auto start = std::chrono::steady_clock::now();
        run();
        const std::chrono::duration<double> t = std::chrono::steady_clock::now() - start;
        best = std::min(best, t.count());
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
#ifndef __OPTIMIZE__
    std::printf("warning: built without optimisation; the figures mean little\n");
#endif
    const std::string path = std::string(argc > 1 ? argv[1] : "/tmp") + "/signature-bench.img";
    // A root file system, a kernel and an application: 15 MiB in all.
    std::mt19937 rng(20261208);
    auto payload = [&](std::size_t n) {
        Bytes b(n);
        std::generate(b.begin(), b.end(), [&] { return static_cast<std::uint8_t>(rng()); });
        return b;
    };
    std::vector<Bytes> sections = {
        image::build_section({image::code(image::ImageType::RootFs), 0x01000000, 0, false},
                             payload(11u << 20)),
        image::build_section({image::code(image::ImageType::Kernel), 0x01000000, 0, false},
                             payload(3u << 20)),
        image::build_section({image::code(image::ImageType::Application), 0x01000000, 0, false},
                             payload(1u << 20)),
    };
    std::uint8_t seed[32] = {1}, pk[32], sk[64];
    crypto_sign_seed_keypair(pk, sk, seed);
    manifest::Manifest m;
    std::memcpy(m.product.data(), manifest::kProduct.data(), manifest::kProduct.size());
    m.key_id = signing::key_id(pk);
    m.counter = 1;
    m.count = static_cast<std::uint32_t>(sections.size());
    for (std::size_t i = 0; i < sections.size(); ++i) {
        m.entries[i].size = static_cast<std::uint32_t>(sections[i].size());
        crypto_hash_sha256(m.entries[i].sha256.data(), sections[i].data(), sections[i].size());
    }
    Bytes p(manifest::kMaxPayload);
    p.resize(manifest::encode(m, p));
    crypto_sign_detached(p.data() + p.size() - 64, nullptr, p.data(), p.size() - 64, sk);
    const Bytes head = image::build_section({0x07504754, 1, 0, false}, p);
    {
        common::UniqueFile out(std::fopen(path.c_str(), "wb"));
        if (!out) {
            std::perror(path.c_str());
            return 1;
        }
        std::fwrite(head.data(), 1, head.size(), out.get());
        for (const Bytes& s : sections) std::fwrite(s.data(), 1, s.size(), out.get());
    }
    std::uint64_t size = head.size();
    for (const Bytes& s : sections) size += s.size();

    signing::Keys keys;
    std::memcpy(keys.key[0].bytes.data(), pk, 32);
    keys.key[0].id = m.key_id;
    keys.count = 1;
    bool good = true;
    const double check = best_seconds([&] {
        common::UniqueFile f(std::fopen(path.c_str(), "rb"));
        good = good && signing::check_container(f.get(), keys, 0).verdict == signing::Verdict::Good;
    });
    std::printf("%s: %llu bytes, %zu sections, best of %d runs (the file in the page cache)\n",
                path.c_str(), static_cast<unsigned long long>(size), sections.size(), kRuns);
    std::printf("  signature check: %8.3f s  %7.1f MB/s%s\n", check, size / check / 1e6,
                good ? "" : "  (REFUSED: the check is wrong)");

    const std::string command = "sha256sum " + path + " >/dev/null 2>&1";
#if defined(__powerpc__)
    const bool native_tool = false;  // the PC's sha256sum is not a PowerPC program
#else
    const bool native_tool = std::system("command -v sha256sum >/dev/null 2>&1") == 0;
#endif
    if (native_tool) {
        const double sum = best_seconds([&] { (void)std::system(command.c_str()); });
        std::printf("  sha256sum:       %8.3f s  %7.1f MB/s\n", sum, size / sum / 1e6);
        std::printf("  ratio: %.2fx sha256sum's time (goal: at most 1.2x)\n", check / sum);
    }
    std::remove(path.c_str());
    return good ? 0 : 1;
}
