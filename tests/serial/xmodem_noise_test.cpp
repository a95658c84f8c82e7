// The receiver on a bad line: lrzsz's sx sends through a relay that
// corrupts, drops, duplicates and holds up bytes in both directions. Every
// transfer must either deliver exactly the file (with the sender's padding)
// or end cancelled with 0: a wrong file reported as received would be
// installed on the switch.
//
// XMODEM_NOISE_TRANSFERS sets how many transfers run (200 by default);
// XMODEM_NOISE_ONLY=N runs transfer N alone (same file, same faults).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <future>
#include <random>
#include <string>
#include <vector>

#include "common/unique_fd.hpp"
#include "serial/xmodem.hpp"
#include "support/line_relay.hpp"
#include "support/testing.hpp"

namespace {

using Fd = common::BasicUniqueFd<&::close>;
using testing_support::LineNoise;
using testing_support::LineRelay;
using testing_support::PeerProgram;
using Bytes = std::vector<std::uint8_t>;

// One second of the protocol's waits is 20 ms here, so that the many
// errors cost little time.
const bool fast_clock = ::setenv("BOOTLAUNCH_SIM_CLOCK", "50", 0) == 0;

// Per byte from the sender (blocks), and per byte from the receiver (its
// few ACK, NAK and C bytes, spoiled more often so that lost and false
// answers happen in most runs).
constexpr LineNoise kToReceiver{.corrupt = 2e-4, .drop = 2e-4, .duplicate = 2e-4,
                                .delay = 2e-4, .delay_ms = 60};
constexpr LineNoise kToSender{.corrupt = 0.02, .drop = 0.02, .duplicate = 0.02,
                              .delay = 0.02, .delay_ms = 60};
constexpr std::size_t kSizes[] = {1, 200, 1024, 1500, 3000, 5000};

int transfers() {
    const char* s = std::getenv("XMODEM_NOISE_TRANSFERS");
    return s && std::atoi(s) > 0 ? std::atoi(s) : 200;
}

// A block far out of sequence: it makes a receiver cancel.
Bytes stray_block() {
    Bytes b{xmodem::kSoh, 0x7F, 0x80};
    b.resize(3 + xmodem::kShortBlock + 2, 0);
    return b;
}

TEST(XmodemOnANoisyLine, EveryTransferDeliversTheExactFileOrIsCancelled) {
    if (!testing_support::have_program("sx")) GTEST_SKIP() << "lrzsz's sx is not installed";
    testing_support::TemporaryDirectory dir;
    int delivered = 0;
    unsigned long faults = 0;
    const int runs = transfers();
    const char* only = std::getenv("XMODEM_NOISE_ONLY");
    for (int run = only ? std::atoi(only) : 0; run < (only ? std::atoi(only) + 1 : runs); ++run) {
        std::mt19937 rng(static_cast<unsigned>(run) + 1);
        Bytes data(kSizes[run % std::size(kSizes)]);
        for (auto& c : data) c = static_cast<std::uint8_t>(rng());
        testing_support::write_file(dir / "sent", data);

        testing_support::DownloadLine line;
        ASSERT_TRUE(line.slave);
        Fd out(open((dir / "received").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));

        PeerProgram sx({"sx", run % 2 == 0 ? "-qk" : "-q", (dir / "sent").string()});
        xmodem::Outcome o;
        {
            LineRelay relay(sx.line(), line.master.get(), kToReceiver, kToSender,
                            static_cast<unsigned>(run) * 2654435761u + 1u);
            auto result = std::async(std::launch::async,
                                     [&] { return xmodem::receive(line.slave.get(), out.get()); });
            using namespace std::chrono_literals;
            // Before its first block the receiver asks without end; a sender
            // that gave up leaves it asking. A block out of sequence ends it.
            for (int quiet = 0; result.wait_for(100ms) != std::future_status::ready;) {
                if (sx.running() || ++quiet < 20) continue;
                const Bytes b = stray_block();
                EXPECT_GT(write(line.master.get(), b.data(), b.size()), 0);
            }
            o = result.get();
            faults += relay.faults();
        }
        const Bytes got = testing_support::read_file(dir / "received");
        const Bytes expected = testing_support::with_sender_padding(data);
        if (o.result == 0) continue;  // cancelled
        EXPECT_EQ(o.result, static_cast<std::int32_t>(expected.size())) << "transfer " << run;
        EXPECT_TRUE(got == expected) << "transfer " << run << " delivered another file";
        delivered += got == expected;
    }
    std::printf("%d noisy transfers, %lu bytes spoiled: %d delivered exactly\n", runs, faults,
                delivered);
    EXPECT_GT(faults, static_cast<unsigned long>(runs));
    // A line this bad still carries most transfers.
    EXPECT_GT(delivered, runs / 2);
}

}  // namespace
