// Throughput of the container checksum against zlib's CRC-32 on the same
// buffer. The switch checksums every section before it installs or boots it
// (up to 15 MB for a root file system), so gen_crc should be no slower than
// the CRC everyone else uses.
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

#include "image/crc.hpp"

namespace {

constexpr std::size_t kBufferSize = 16u << 20;
constexpr int kRepetitions = 7;

// Best of several runs, in MB/s (10^6 bytes per second).
template <typename F>
double best_throughput(F&& run) {
    double best = 0;
    for (int i = 0; i < kRepetitions; ++i) {
        const auto start = std::chrono::steady_clock::now();
        run();
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        best = std::max(best, static_cast<double>(kBufferSize) / elapsed.count() / 1e6);
    }
    return best;
}

}  // namespace

int main() {
#ifndef __OPTIMIZE__
    std::printf("warning: built without optimisation; the figures mean little\n");
#endif
    std::vector<std::uint8_t> buffer(kBufferSize);
    std::mt19937 rng(20240601);
    std::generate(buffer.begin(), buffer.end(), [&] { return static_cast<std::uint8_t>(rng()); });

    // volatile sinks keep the compiler from dropping a result it sees unused.
    volatile std::uint32_t ours = 0;
    volatile unsigned long theirs = 0;
    const double ours_mbs = best_throughput([&] {
        ours = gen_crc(buffer.data(), static_cast<std::uint32_t>(buffer.size()), image::kCrcInit);
    });
    const double zlib_mbs = best_throughput([&] {
        theirs = crc32(crc32(0L, Z_NULL, 0), buffer.data(), static_cast<uInt>(buffer.size()));
    });

    std::printf("buffer: %zu MiB of random bytes, best of %d runs\n", kBufferSize >> 20,
                kRepetitions);
    std::printf("gen_crc:     %8.1f MB/s  (0x%08x)\n", ours_mbs, static_cast<unsigned>(ours));
    std::printf("zlib crc32:  %8.1f MB/s  (0x%08lx)\n", zlib_mbs,
                static_cast<unsigned long>(theirs));
    std::printf("gen_crc / zlib: %.2f\n", ours_mbs / zlib_mbs);

    // The container's checksum is the complement of the standard CRC-32.
    const bool agree = ours == static_cast<std::uint32_t>(~theirs);
    std::printf("results %s\n", agree ? "agree (gen_crc == ~crc32)" : "DISAGREE");
    return agree ? 0 : 1;
}
