// Receiving a file over a console line paced at 115200 bit/s (ten bits a
// byte, 11520 bytes a second): the switch's XMODEM-1K receiver and, in the
// same run, lrzsz's own receiver, both fed by lrzsz's sx -k through the same
// pacing relay. Prints each throughput and its share of the line's limit,
// which is 1024 payload bytes for every 1029 on the wire. Goal: at least 95 %
// of the limit, and not slower than lrzsz.
//
//   xmodem_bench [BYTES]     (default 1 MiB; a run takes BYTES / 11 KB/s twice)
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "serial/xmodem.hpp"
#include "support/line_relay.hpp"
#include "support/testing.hpp"

namespace {

using clock_type = std::chrono::steady_clock;
using testing_support::LineRelay;
using testing_support::PeerProgram;

constexpr unsigned kLineBytesPerSecond = 11520;
constexpr double kLimit = kLineBytesPerSecond * 1024.0 / 1029.0;

struct Run {
    double seconds = 0;
    long long bytes = 0;
    bool exact = false;
};

void report(const char* who, const Run& r) {
    const double rate = r.bytes / r.seconds;
    std::printf("%-28s %9lld bytes in %7.2f s: %8.0f bytes/s, %5.1f %% of the line's limit%s\n",
                who, r.bytes, r.seconds, rate, 100.0 * rate / kLimit,
                r.exact ? "" : "  (FILE DIFFERS)");
}

Run ours(const std::filesystem::path& sent, const std::filesystem::path& received,
         const std::vector<std::uint8_t>& expected) {
    testing_support::DownloadLine line;
    const int out = open(received.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    Run r;
    {
        PeerProgram sx({"sx", "-q", "-k", sent.string()});
        LineRelay relay(sx.line(), line.master.get(), {}, {}, 1, kLineBytesPerSecond);
        const auto start = clock_type::now();
        r.bytes = xmodem::receive(line.slave.get(), out).result;
        r.seconds = std::chrono::duration<double>(clock_type::now() - start).count();
        sx.finish(5000);
    }
    close(out);
    r.exact = testing_support::read_file(received) == expected;
    return r;
}

Run lrzsz(const std::filesystem::path& sent, const std::filesystem::path& dir,
          const std::vector<std::uint8_t>& expected) {
    Run r;
    {
        PeerProgram rx({"sh", "-c",
                        "cd '" + dir.string() +
                            "' && exec rz --xmodem --with-crc --quiet --overwrite lrzsz-received"});
        PeerProgram sx({"sx", "-q", "-k", sent.string()});
        LineRelay relay(sx.line(), rx.line(), {}, {}, 1, kLineBytesPerSecond);
        const auto start = clock_type::now();
        rx.finish(3600 * 1000);
        r.seconds = std::chrono::duration<double>(clock_type::now() - start).count();
        sx.finish(5000);
    }
    const auto got = testing_support::read_file(dir / "lrzsz-received");
    r.bytes = static_cast<long long>(got.size());
    r.exact = got == expected;
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t size = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : (1u << 20);
    if (!testing_support::have_program("sx") || !testing_support::have_program("rz")) {
        std::fputs("xmodem_bench needs lrzsz (sx, rz)\n", stderr);
        return 1;
    }
    testing_support::TemporaryDirectory dir;
    std::vector<std::uint8_t> data(size);
    std::mt19937 rng(1);
    for (auto& c : data) c = static_cast<std::uint8_t>(rng());
    testing_support::write_file(dir / "sent", data);
    const auto expected = testing_support::with_sender_padding(data);

    std::printf("line: %u bytes/s; limit for 1 KiB blocks: %.0f bytes/s\n", kLineBytesPerSecond,
                kLimit);
    const Run a = ours(dir / "sent", dir / "received", expected);
    report("switch's receiver (Xmodem1K)", a);
    const Run b = lrzsz(dir / "sent", dir.path(), expected);
    report("lrzsz rz --xmodem", b);
    std::printf("switch's receiver / lrzsz: %.3f\n", (a.bytes / a.seconds) / (b.bytes / b.seconds));
    return a.exact && b.exact ? 0 : 1;
}
