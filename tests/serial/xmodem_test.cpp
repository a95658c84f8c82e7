// The XMODEM-1K receiver: against a scripted sender that checks every byte
// the receiver answers (cases a real sender cannot be made to produce), and
// against lrzsz's sx on a pseudo-terminal, the way an engineer's PC sends a
// file to the switch.
#include "serial/xmodem.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <future>
#include <random>
#include <string>
#include <vector>

#include "serial/serial_line.hpp"
#include "support/line_relay.hpp"
#include "support/testing.hpp"

namespace {

using serial_testing::Fd;
using testing_support::LineRelay;
using testing_support::PeerProgram;
using Bytes = std::vector<std::uint8_t>;
using namespace xmodem;

// One second of the protocol's waits is 100 ms here.
const bool fast_clock = ::setenv("BOOTLAUNCH_SIM_CLOCK", "10", 0) == 0;

Bytes filled(std::size_t n, std::uint8_t value) {
    return Bytes(n, value);
}

Bytes random_bytes(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto& c : b) c = static_cast<std::uint8_t>(rng());
    return b;
}

// A block as a sender frames it; `crc_ok` false spoils its CRC.
Bytes block(std::uint8_t number, const Bytes& data, bool crc_ok = true) {
    Bytes b{data.size() == kShortBlock ? kSoh : kStx, number,
            static_cast<std::uint8_t>(255 - number)};
    b.insert(b.end(), data.begin(), data.end());
    std::uint16_t crc = crc16(0, data);
    if (!crc_ok) crc ^= 0x0100;
    b.push_back(static_cast<std::uint8_t>(crc >> 8));
    b.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    return b;
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const Bytes kCancel(kCancelBytes, kCan);

TEST(XmodemCrc, MatchesTheStandardCheckValueAndTable) {
    const std::string digits = "123456789";
    EXPECT_EQ(crc16(0, {reinterpret_cast<const std::uint8_t*>(digits.data()), digits.size()}),
              0x31C3);
    EXPECT_EQ(crctab[1], 0x1021);
    EXPECT_EQ(crctab[255], 0x1EF0);
}

// The receiver on one end of a socket pair; the test plays the sender.
class ScriptedSender : public ::testing::Test {
protected:
    void SetUp() override { start(dir_ / "received"); }

    // A case that failed half-way leaves the receiver waiting: a block out
    // of sequence makes it cancel, so that the test ends instead of hanging.
    void TearDown() override {
        using namespace std::chrono_literals;
        if (!result_.valid()) return;
        for (int i = 0; i < 100 && result_.wait_for(100ms) != std::future_status::ready; ++i)
            send(block(0x7F, filled(kShortBlock, 0)));
    }

    void start(const std::filesystem::path& file) {
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        sender_.reset(sv[0]);
        line_.reset(sv[1]);
        fcntl(line_.get(), F_SETFL, O_NONBLOCK);
        out_.reset(open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
        ASSERT_TRUE(out_);
        result_ = std::async(std::launch::async,
                             [this] { return receive(line_.get(), out_.get()); });
    }

    void send(const Bytes& bytes) {
        ASSERT_EQ(write(sender_.get(), bytes.data(), bytes.size()),
                  static_cast<ssize_t>(bytes.size()));
    }

    // The next byte the receiver sends, or -1 after `ms` without one.
    int reply(int ms = 5000) {
        pollfd p{sender_.get(), POLLIN, 0};
        if (poll(&p, 1, ms) <= 0) return -1;
        std::uint8_t c;
        return read(sender_.get(), &c, 1) == 1 ? c : -1;
    }

    Bytes replies(std::size_t n) {
        Bytes got;
        while (got.size() < n) {
            const int c = reply();
            if (c < 0) break;
            got.push_back(static_cast<std::uint8_t>(c));
        }
        return got;
    }

    // The receiver's first C, answered with the first block (and its ACK).
    void first_block(const Bytes& data) {
        ASSERT_EQ(reply(), kCrcRequest);
        send(block(1, data));
        ASSERT_EQ(reply(), kAck);
    }

    // EOT, the receiver's NAK, EOT again and its ACK: the sender's end.
    void end_transfer() {
        send({kEot});
        ASSERT_EQ(reply(), kNak);
        send({kEot});
        ASSERT_EQ(reply(), kAck);
    }

    Outcome outcome() { return result_.get(); }
    Bytes received() { return testing_support::read_file(dir_ / "received"); }

    testing_support::TemporaryDirectory dir_;
    Fd sender_, line_, out_;
    std::future<Outcome> result_;
};

TEST_F(ScriptedSender, AFirstKilobyteBlockIsAcknowledgedAndCountsEightUnits) {
    const Bytes data = random_bytes(kLongBlock, 1);
    testing::internal::CaptureStderr();
    first_block(data);
    end_transfer();
    const Outcome o = outcome();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "EOT\nAll done\n");
    EXPECT_EQ(o.result, 1024);
    EXPECT_EQ(o.units, 8u);
    EXPECT_EQ(received(), data);
}

TEST_F(ScriptedSender, ShortAndLongBlocksMixAndKeepTheLastBlocksPadding) {
    const Bytes a = random_bytes(kShortBlock, 2), b = filled(kLongBlock, 0x1A);
    first_block(a);
    send(block(2, b));
    EXPECT_EQ(reply(), kAck);
    end_transfer();
    const Outcome o = outcome();
    EXPECT_EQ(o.result, 1152);
    EXPECT_EQ(o.units, 9u);
    EXPECT_EQ(received(), a + b);
}

TEST_F(ScriptedSender, ASilentSenderIsAskedWithCAgainAndAgain) {
    // Six of the receiver's seconds of silence: a C for each.
    Bytes asked;
    for (int c; (c = reply(600)) >= 0 && asked.size() < 5;) asked.push_back(static_cast<std::uint8_t>(c));
    EXPECT_EQ(asked, filled(5, kCrcRequest));
    // An empty file: EOT at once, confirmed.
    send({kEot});
    int c;
    while ((c = reply()) == kCrcRequest) {
    }
    EXPECT_EQ(c, kNak);
    send({kEot});
    EXPECT_EQ(reply(), kAck);
    EXPECT_EQ(outcome().result, 0);
    EXPECT_TRUE(std::filesystem::exists(dir_ / "received"));
    EXPECT_TRUE(received().empty());
}

TEST_F(ScriptedSender, BeforeTheFirstBlockErrorsAreAnsweredWithC) {
    ASSERT_EQ(reply(), kCrcRequest);
    // Block 0 (a batch header), a first block with a bad CRC, an ACK, a lone
    // CAN: each gets a new C, never a NAK.
    send(block(0, filled(kShortBlock, 'A')));
    EXPECT_EQ(reply(), kCrcRequest);
    send(block(1, filled(kLongBlock, 'B'), false));
    EXPECT_EQ(reply(), kCrcRequest);
    send({kAck});
    EXPECT_EQ(reply(), kCrcRequest);
    testing::internal::CaptureStderr();
    send({kCan});
    EXPECT_EQ(reply(), kCrcRequest);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "CAN\n");
    send(block(1, filled(kShortBlock, 'C')));
    EXPECT_EQ(reply(), kAck);
    end_transfer();
    EXPECT_EQ(outcome().result, 128);
    EXPECT_EQ(received(), filled(kShortBlock, 'C'));
}

TEST_F(ScriptedSender, ARepeatedBlockIsAcknowledgedAgainAndWrittenOnce) {
    const Bytes a = random_bytes(kLongBlock, 3), b = random_bytes(kLongBlock, 4);
    first_block(a);
    send(block(1, a));  // the sender missed our ACK
    EXPECT_EQ(reply(), kAck);
    send(block(2, b));
    EXPECT_EQ(reply(), kAck);
    end_transfer();
    EXPECT_EQ(outcome().result, 2048);
    EXPECT_EQ(received(), a + b);
}

TEST_F(ScriptedSender, ABlockOutOfSequenceCancelsAndKeepsWhatWasWritten) {
    const Bytes a = random_bytes(kLongBlock, 5);
    first_block(a);
    send(block(3, a));
    EXPECT_EQ(replies(kCancelBytes), kCancel);
    EXPECT_EQ(outcome().result, 0);
    EXPECT_EQ(received(), a);
}

TEST_F(ScriptedSender, AFirstBlockNumberedTwoCancelsAtOnce) {
    ASSERT_EQ(reply(), kCrcRequest);
    send(block(2, filled(kShortBlock, 'x')));
    EXPECT_EQ(replies(kCancelBytes), kCancel);
    EXPECT_EQ(outcome().result, 0);
    EXPECT_TRUE(received().empty());
}

TEST_F(ScriptedSender, EotFollowedBySilenceEndsWithSuccess) {
    const Bytes a = random_bytes(kShortBlock, 6);
    first_block(a);
    send({kEot});
    EXPECT_EQ(reply(), kNak);
    EXPECT_EQ(reply(), kAck);  // after the receiver's five seconds
    EXPECT_EQ(outcome().result, 128);
}

TEST_F(ScriptedSender, ErrorsAfterTheFirstBlockAreNakedAndAGoodBlockResetsTheCount) {
    const Bytes a = random_bytes(kLongBlock, 7), b = random_bytes(kLongBlock, 8),
                c = random_bytes(kLongBlock, 9);
    first_block(a);
    // Two errors, then the block: accepted, and the count starts again.
    send(block(2, b, false));
    EXPECT_EQ(reply(), kNak);
    send(block(2, b, false));
    EXPECT_EQ(reply(), kNak);
    send(block(2, b));
    EXPECT_EQ(reply(), kAck);
    send(block(3, c, false));
    EXPECT_EQ(reply(), kNak);
    send(block(3, c, false));
    EXPECT_EQ(reply(), kNak);
    send(block(3, c));
    EXPECT_EQ(reply(), kAck);
    end_transfer();
    EXPECT_EQ(outcome().result, 3072);
    EXPECT_EQ(received(), a + b + c);
}

TEST_F(ScriptedSender, TheThirdBadBlockInARowCancels) {
    const Bytes a = random_bytes(kLongBlock, 10), b = random_bytes(kLongBlock, 11);
    first_block(a);
    send(block(2, b, false));
    EXPECT_EQ(reply(), kNak);
    send(block(2, b, false));
    EXPECT_EQ(reply(), kNak);
    send(block(2, b, false));
    EXPECT_EQ(replies(kCancelBytes), kCancel);
    EXPECT_EQ(outcome().result, 0);
    EXPECT_EQ(received(), a);
}

TEST_F(ScriptedSender, AMissingBlockNumberOrCrcByteMakesTheBlockBadNeverARepeat) {
    const Bytes a = random_bytes(kShortBlock, 12), b = random_bytes(kLongBlock, 13);
    first_block(a);
    // A header and nothing more: a number left over from block 1 must not
    // make this pass for its repeat (which would be acknowledged).
    send({kSoh});
    EXPECT_EQ(reply(), kNak);
    // The whole block but the CRC's low byte.
    Bytes cut = block(2, b);
    cut.pop_back();
    send(cut);
    EXPECT_EQ(reply(), kNak);
    send(block(2, b));
    EXPECT_EQ(reply(), kAck);
    end_transfer();
    EXPECT_EQ(received(), a + b);
}

TEST_F(ScriptedSender, ABlockCutShortIsNotAcceptedEvenWithTheCrcOfWhatCame) {
    const Bytes a = random_bytes(kShortBlock, 14), b = random_bytes(1000, 15);
    first_block(a);
    // STX announces 1024 bytes; 1000 come, then (after a gap longer than
    // the data wait) two bytes that are the CRC of those 1000.
    Bytes head{kStx, 2, 253};
    send(head + b);
    usleep(350000);
    const std::uint16_t crc = crc16(0, b);
    send({static_cast<std::uint8_t>(crc >> 8), static_cast<std::uint8_t>(crc & 0xFF)});
    EXPECT_EQ(reply(), kNak);
    const Bytes whole = random_bytes(kLongBlock, 18);
    send(block(2, whole));
    EXPECT_EQ(reply(), kAck);
    end_transfer();
    EXPECT_EQ(outcome().result, 128 + 1024);
    EXPECT_EQ(received(), a + whole);
}

// XMODEM carries no length: a sender that took some other byte for our
// ACK skips a block, and its EOT would end a file that is short.
TEST_F(ScriptedSender, AnEotWhileABlockIsStillOwedCancelsInsteadOfEndingShort) {
    const Bytes a = random_bytes(kLongBlock, 19);
    first_block(a);
    send(block(2, random_bytes(kLongBlock, 20), false));
    EXPECT_EQ(reply(), kNak);
    send({kEot});  // our NAK arrived as something else
    EXPECT_EQ(replies(kCancelBytes), kCancel);
    EXPECT_EQ(outcome().result, 0);
}

TEST_F(ScriptedSender, ASenderThatRanAheadOfOurAckIsNotTakenAtItsEot) {
    const Bytes a = random_bytes(kShortBlock, 21), b = random_bytes(kShortBlock, 22);
    ASSERT_EQ(reply(), kCrcRequest);
    // Block 2 is already on the line when block 1 is acknowledged: it is
    // dropped, and the sender counts it as delivered.
    send(block(1, a) + block(2, b));
    EXPECT_EQ(reply(), kAck);
    send({kEot});
    EXPECT_EQ(replies(kCancelBytes), kCancel);
    EXPECT_EQ(outcome().result, 0);
}

TEST_F(ScriptedSender, AnEotAmongDroppedBytesIsNotTakenForTheEnd) {
    const Bytes a = random_bytes(kShortBlock, 23), b = random_bytes(kShortBlock, 24);
    first_block(a);
    // Noise, with an EOT in it, where a header is awaited: dropped. The
    // wait runs out, the NAK asks for the block again.
    send({0x55, kEot, 0x66});
    EXPECT_EQ(reply(), kNak);
    send(block(2, b));
    EXPECT_EQ(reply(), kAck);
    end_transfer();
    EXPECT_EQ(received(), a + b);
}

TEST_F(ScriptedSender, AStrayByteAfterEotIsAnErrorAndTheTransferGoesOn) {
    const Bytes a = random_bytes(kShortBlock, 16), b = random_bytes(kShortBlock, 17);
    first_block(a);
    send({kEot});
    EXPECT_EQ(reply(), kNak);
    send({'x'});
    EXPECT_EQ(reply(), kNak);
    send(block(2, b));
    EXPECT_EQ(reply(), kAck);
    end_transfer();
    EXPECT_EQ(outcome().result, 256);
    EXPECT_EQ(received(), a + b);
}

TEST(XmodemReceiver, AFileThatCannotBeWrittenCancelsTheTransfer) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    Fd sender(sv[0]), line(sv[1]);
    fcntl(line.get(), F_SETFL, O_NONBLOCK);
    Fd full(open("/dev/full", O_WRONLY));
    ASSERT_TRUE(full);
    testing::internal::CaptureStderr();
    auto result = std::async(std::launch::async, [&] { return receive(line.get(), full.get()); });
    std::uint8_t c = 0;
    pollfd p{sender.get(), POLLIN, 0};
    ASSERT_GT(poll(&p, 1, 5000), 0);
    ASSERT_EQ(read(sender.get(), &c, 1), 1);
    const Bytes b = block(1, filled(kShortBlock, 'z'));
    ASSERT_EQ(write(sender.get(), b.data(), b.size()), static_cast<ssize_t>(b.size()));
    EXPECT_EQ(result.get().result, 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Can't write file!: No space left on device\n");
    Bytes answer(kCancelBytes);
    ASSERT_EQ(read(sender.get(), answer.data(), answer.size()), kCancelBytes);
    EXPECT_EQ(answer, kCancel);
}

// lrzsz's sender through a relay to the receiver's pseudo-terminal (a
// sender straight on the master would apply its own line settings to it).
struct RealTransfer {
    std::size_t size;
    bool kilo;  // sx -k: 1024-byte blocks
};

void PrintTo(const RealTransfer& t, std::ostream* os) {
    *os << (t.kilo ? "sx -k, " : "sx, ") << t.size << " bytes";
}

std::string transfer_name(const ::testing::TestParamInfo<RealTransfer>& info) {
    return std::string(info.param.kilo ? "SxK" : "Sx") + "Sends" + std::to_string(info.param.size) +
           "Bytes";
}

class RealSender : public ::testing::TestWithParam<RealTransfer> {};

TEST_P(RealSender, TheFileArrivesWithTheSendersPaddingAndTheRightTotal) {
    if (!testing_support::have_program("sx")) GTEST_SKIP() << "lrzsz's sx is not installed";
    testing_support::TemporaryDirectory dir;
    const Bytes data = random_bytes(GetParam().size, static_cast<unsigned>(GetParam().size));
    testing_support::write_file(dir / "sent", data);

    testing_support::DownloadLine line;
    ASSERT_TRUE(line.slave);
    Fd out(open((dir / "received").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));

    std::vector<std::string> argv{"sx", "-q"};
    if (GetParam().kilo) argv.push_back("-k");
    argv.push_back((dir / "sent").string());
    PeerProgram sx(argv);
    Outcome o;
    {
        LineRelay relay(sx.line(), line.master.get());
        o = receive(line.slave.get(), out.get());
        EXPECT_EQ(sx.finish(5000), 0) << "sx did not end cleanly";
    }
    const Bytes expected = testing_support::with_sender_padding(data);
    EXPECT_EQ(o.result, static_cast<std::int32_t>(expected.size()));
    EXPECT_TRUE(testing_support::read_file(dir / "received") == expected);
}

INSTANTIATE_TEST_SUITE_P(
    Xmodem, RealSender,
    ::testing::Values(RealTransfer{0, true}, RealTransfer{1, true}, RealTransfer{1024, true},
                      RealTransfer{1025, true}, RealTransfer{(2u << 20) + 3, true},
                      RealTransfer{1, false}, RealTransfer{1025, false},
                      RealTransfer{100000, false}),
    transfer_name);

// The whole receiver as the switch runs it: the console line switched at
// the operator's Enter, the file created, the line switched back.
class ConsoleReceiver : public serial_testing::SerialLine {};

TEST_F(ConsoleReceiver, ReceivesIntoAFileBetweenTheTwoLineSwitches) {
    if (!testing_support::have_program("sx")) GTEST_SKIP() << "lrzsz's sx is not installed";
    const Bytes data = random_bytes(5000, 42);
    testing_support::write_file(dir_ / "sent", data);
    const auto path = dir_ / "received";
    auto result = std::async(std::launch::async, [&] { return Xmodem1K(path.c_str()); });
    screen_until("before initiating the download.");
    wait_for_line(true);
    type("\r");
    {
        PeerProgram sx({"sx", "-q", "-k", (dir_ / "sent").string()});
        LineRelay relay(sx.line(), master_.get());
        EXPECT_EQ(sx.finish(20000), 0);
    }
    fcntl(master_.get(), F_SETFL, 0);
    wait_for_line(false);
    type("\r");
    const std::int32_t total = result.get();
    restore_stdout();
    EXPECT_EQ(total, 5120);
    EXPECT_TRUE(testing_support::read_file(path) == testing_support::with_sender_padding(data));
}

TEST_F(ConsoleReceiver, AFileThatCannotBeCreatedSwitchesTheLineBackAndGivesMinusOne) {
    testing::internal::CaptureStderr();
    auto result = std::async(std::launch::async, [&] {
        return Xmodem1K((dir_ / "no-such-dir" / "file").c_str());
    });
    wait_for_line(true);
    type("\r");
    wait_for_line(false);
    type("\r");
    const std::int32_t total = result.get();
    restore_stdout();
    EXPECT_EQ(total, -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Can't open file!: No such file or directory\n");
}

}  // namespace
