// Installing the largest section the switch accepts, a 15 MiB root file
// system, into the simulated NOR flash. Prints the time against a plain
// write of the same bytes to a file in the same run, the installer's peak
// resident memory (goal: at most the section plus 2 MiB), and the erases per
// block (goal: exactly one).
//
// The install runs in a child process of its own (this program started
// again with --child), so that its peak memory is its own and not that of
// the parent, which made the container.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "hw/flash.hpp"
#include "image/container.hpp"
#include "image/installer.hpp"
#include "image/section_writer.hpp"
#include "platform/sim/sim.hpp"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kSection = 0xF00000;  // the root file system's limit
constexpr std::uint32_t kBlock = 0x10000;
constexpr int kRuns = 3;

struct Partition {
    const char* name;
    std::uint32_t size;
};
constexpr Partition kPartitions[] = {
    {"mtd-uboot", 0x80000},   {"mtd-ubootenv", 0x20000}, {"mtd-devicetree", 0x40000},
    {"mtd-kernel", 0x300000}, {"mtd-rfs", kSection},     {"mtd-rescue", 0xA00000},
};

double seconds_since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

// A line of /proc/self/status in KiB: VmRSS now, VmHWM the peak of this
// program's memory since its start (exec), unlike ru_maxrss, which carries
// the parent's peak over.
long status_kib(const char* field) {
    std::FILE* f = std::fopen("/proc/self/status", "r");
    if (!f) return -1;
    char line[256];
    long kib = -1;
    const std::size_t n = std::strlen(field);
    while (std::fgets(line, sizeof line, f))
        if (std::strncmp(line, field, n) == 0 && line[n] == ':') kib = std::atol(line + n + 1);
    std::fclose(f);
    return kib;
}

void write_file(const fs::path& p, const std::vector<std::uint8_t>& data) {
    std::FILE* f = std::fopen(p.c_str(), "wb");
    if (!f || std::fwrite(data.data(), 1, data.size(), f) != data.size() || std::fclose(f) != 0) {
        std::perror(p.c_str());
        std::exit(2);
    }
}

// The child: one install, its own figures on standard error.
int child(const fs::path& dir) {
    sim::set_dev_dir(dir.string());
    sim::set_erase_size(kBlock);
    api_flash_init();
    const long before = status_kib("VmRSS");
    if (!std::freopen("/dev/null", "w", stdout)) return 2;
    const auto start = Clock::now();
    const int result = processTesselImage((dir / "rfs.img").c_str(), 0, 0);
    const double took = seconds_since(start);
    const auto counts = sim::erase_counts("/dev/mtd-rfs");
    const auto [lo, hi] = std::minmax_element(counts.begin(), counts.end());
    std::fprintf(stderr, "%d %.6f %ld %ld %u %u %zu\n", result, took, before, status_kib("VmHWM"),
                 *lo, *hi, counts.size());
    return result == 1 ? 0 : 1;
}

struct Figures {
    double seconds = 0;
    long baseline_kib = 0;
    long peak_kib = 0;
    unsigned min_erases = 0;
    unsigned max_erases = 0;
    std::size_t blocks = 0;
};

// Runs one install in a fresh process and reads its figures.
std::optional<Figures> install_once(const char* self, const fs::path& dir) {
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) return std::nullopt;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(pipe_fds[1], STDERR_FILENO);
        execl("/proc/self/exe", self, "--child", dir.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(pipe_fds[1]);
    char line[256] = {};
    const ssize_t got = read(pipe_fds[0], line, sizeof line - 1);
    close(pipe_fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    Figures f;
    int result = 0;
    if (got <= 0 ||
        std::sscanf(line, "%d %lf %ld %ld %u %u %zu", &result, &f.seconds, &f.baseline_kib,
                    &f.peak_kib, &f.min_erases, &f.max_erases, &f.blocks) != 7 ||
        result != 1)
        return std::nullopt;
    return f;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--child") return child(argv[2]);
#ifndef __OPTIMIZE__
    std::printf("warning: built without optimisation; the figures mean little\n");
#endif
    char tmpl[] = "/tmp/install_bench.XXXXXX";
    if (!mkdtemp(tmpl)) return 2;
    const fs::path dir = tmpl;
    for (const auto& p : kPartitions)
        write_file(dir / p.name, std::vector<std::uint8_t>(p.size, 0xFF));
    std::vector<std::uint8_t> payload(kSection - image::kBasicHeaderSize);
    for (std::size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<std::uint8_t>(i * 2654435761u >> 24);
    const auto section = image::build_section(
        {image::code(image::ImageType::RootFs), 0x04130001, 0, false}, payload);
    write_file(dir / "rfs.img", section);

    // The same bytes written plainly, as the yardstick; best of the runs.
    double plain = 1e9;
    for (int run = 0; run < kRuns; ++run) {
        const auto start = Clock::now();
        write_file(dir / "plain.bin", section);
        plain = std::min(plain, seconds_since(start));
    }

    Figures best;
    for (int run = 0; run < kRuns; ++run) {
        for (const auto& p : kPartitions)
            if (std::string(p.name) == "mtd-rfs")
                write_file(dir / p.name, std::vector<std::uint8_t>(p.size, 0xFF));
        const std::optional<Figures> f = install_once(argv[0], dir);
        if (!f) {
            fs::remove_all(dir);
            std::printf("the install failed\n");
            return 1;
        }
        if (run == 0 || f->seconds < best.seconds) best.seconds = f->seconds;
        best.baseline_kib = f->baseline_kib;
        best.peak_kib = std::max(best.peak_kib, f->peak_kib);
        best.min_erases = f->min_erases;
        best.max_erases = f->max_erases;
        best.blocks = f->blocks;
    }
    fs::remove_all(dir);

    const double peak_mib = best.peak_kib / 1024.0;
    const double section_mib = kSection / 1048576.0;
    std::printf(
        "section: root file system, %u bytes (%.1f MiB), %zu erase blocks of %u KiB; "
        "best of %d runs\n",
        kSection, section_mib, best.blocks, kBlock >> 10, kRuns);
    std::printf("install into simulated NOR: %8.3f s\n", best.seconds);
    std::printf("plain write to a file:      %8.3f s   (install / plain: %.1f)\n", plain,
                best.seconds / plain);
    // The program itself (its libraries mapped in) takes its share before
    // the install begins; the goal is on what the install adds to it.
    const double added_mib = (best.peak_kib - best.baseline_kib) / 1024.0;
    std::printf(
        "peak resident memory:       %8.1f MiB, %.1f MiB of it added by the install "
        "(%.1f MiB before it)\n",
        peak_mib, added_mib, best.baseline_kib / 1024.0);
    std::printf("  goal: the install adds at most %.1f MiB (the section plus 2 MiB): %s\n",
                section_mib + 2, added_mib <= section_mib + 2 ? "met" : "NOT MET");
    std::printf("erases per block:           min %u, max %u (goal: exactly 1) %s\n",
                best.min_erases, best.max_erases,
                best.min_erases == 1 && best.max_erases == 1 ? "met" : "NOT MET");
    return 0;
}
