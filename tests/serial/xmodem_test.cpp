// The XMODEM-1K receiver: against scripted senders that check every byte the
// receiver answers (cases a real sender cannot be made to produce), and
// against lrzsz's sx on a pseudo-terminal, the way an engineer's PC sends a
// file to the switch (the rescue menu's download on the console line is
// tests/e2e/test_rescue.py's).
#include "serial/xmodem.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>
#include <random>
#include <string>
#include <vector>

#include "common/unique_fd.hpp"
#include "support/line_relay.hpp"
#include "support/testing.hpp"

namespace {

using Fd = common::BasicUniqueFd<&::close>;
using testing_support::LineRelay;
using testing_support::PeerProgram;
using testing_support::PrintTo;
using testing_support::with_sender_padding;
using Bytes = std::vector<std::uint8_t>;
using namespace xmodem;

// One second of the protocol's waits is 100 ms here.
const bool fast_clock = ::setenv("BOOTLAUNCH_SIM_CLOCK", "10", 0) == 0;

Bytes random_bytes(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto& c : b) c = static_cast<std::uint8_t>(rng());
    return b;
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes without_last(Bytes b) {
    b.pop_back();
    return b;
}

Bytes crc_bytes(const Bytes& data) {
    const std::uint16_t crc = crc16(0, data);
    return {static_cast<std::uint8_t>(crc >> 8), static_cast<std::uint8_t>(crc & 0xFF)};
}

// A block as a sender frames it; `crc_ok` false spoils its CRC.
Bytes block(std::uint8_t number, const Bytes& data, bool crc_ok = true) {
    Bytes crc = crc_bytes(data);
    if (!crc_ok) crc[0] ^= 1;
    return Bytes{data.size() == kShortBlock ? kSoh : kStx, number,
                 static_cast<std::uint8_t>(255 - number)} +
           data + crc;
}

TEST(XmodemCrc, MatchesTheStandardCheckValue) {
    EXPECT_EQ(crc16(0, Bytes{'1', '2', '3', '4', '5', '6', '7', '8', '9'}), 0x31C3);
}

const Bytes A = random_bytes(kShortBlock, 1), B = random_bytes(kShortBlock, 2);
const Bytes K1 = random_bytes(kLongBlock, 3), K2 = random_bytes(kLongBlock, 4),
            K3 = random_bytes(kLongBlock, 5);
const Bytes kCancel(kCancelBytes, kCan);

// What the sender puts on the line, how long it then waits, and the bytes the
// receiver must answer (each within 5 s).
struct Step {
    Bytes send;
    Bytes answer;
    int pause_ms = 0;
};
const Step kAskC{{}, {kCrcRequest}};
const Step kEnd[] = {{{kEot}, {kNak}}, {{kEot}, {kAck}}};

struct Script {
    const char* name;
    std::vector<Step> steps;
    std::int32_t result;  // what the receiver reports
    Bytes file;           // what it wrote
    bool disk_full = false;
};

// The receiver's first C, the steps given, then (when `ended`) the sender's
// end: EOT, the receiver's NAK, EOT again and its ACK.
std::vector<Step> steps(std::initializer_list<Step> middle, bool ended = true) {
    std::vector<Step> s{kAskC};
    s.insert(s.end(), middle);
    if (ended) s.insert(s.end(), std::begin(kEnd), std::end(kEnd));
    return s;
}

const Script kScripts[] = {
    {"short_and_kilobyte_blocks_mix", steps({{block(1, A), {kAck}}, {block(2, K1), {kAck}}}), 1152,
     A + K1},
    {"errors_before_the_first_block_are_answered_with_C",
     steps({{block(0, Bytes(kShortBlock, 'A')), {kCrcRequest}},
            {block(1, Bytes(kLongBlock, 'B'), false), {kCrcRequest}},
            {{kAck}, {kCrcRequest}},
            {{kCan}, {kCrcRequest}},
            {block(1, Bytes(kShortBlock, 'C')), {kAck}}}),
     128, Bytes(128, 'C')},
    {"a_repeated_block_is_acknowledged_again_and_written_once",
     steps({{block(1, K1), {kAck}}, {block(1, K1), {kAck}}, {block(2, K2), {kAck}}}), 2048,
     K1 + K2},
    {"a_block_out_of_sequence_cancels_and_keeps_what_was_written",
     steps({{block(1, K1), {kAck}}, {block(3, K1), kCancel}}, false), 0, K1},
    {"a_silent_sender_is_asked_again_and_a_first_block_numbered_2_cancels",
     steps({{{}, Bytes(4, kCrcRequest)}, {block(2, A), kCancel}}, false), 0, {}},
    {"an_eot_followed_by_silence_ends_the_transfer",
     steps({{block(1, A), {kAck}}, {{kEot}, {kNak, kAck}}}, false), 128, A},
    // Two errors are NAKed; a good block starts the count again, and the
    // third bad block in a row cancels.
    {"the_third_bad_block_in_a_row_cancels_and_a_good_one_resets_the_count",
     steps({{block(1, K1), {kAck}},
            {block(2, K2, false), {kNak}},
            {block(2, K2, false), {kNak}},
            {block(2, K2), {kAck}},
            {block(3, K3, false), {kNak}},
            {block(3, K3, false), {kNak}},
            {block(3, K3, false), kCancel}},
           false),
     0, K1 + K2},
    // A number left over from block 1 must not make a bare header pass for
    // its repeat (which would be acknowledged).
    {"a_missing_block_number_or_crc_byte_makes_a_bad_block_never_a_repeat",
     steps({{block(1, A), {kAck}},
            {{kSoh}, {kNak}},
            {without_last(block(2, B)), {kNak}},
            {block(2, B), {kAck}}}),
     256, A + B},
    // STX announces 1024 bytes; 1000 come, then (after a gap longer than the
    // data wait) the CRC of those 1000.
    {"a_block_cut_short_is_refused_even_with_the_crc_of_what_came",
     steps({{block(1, A), {kAck}},
            {Bytes{kStx, 2, 253} + Bytes(K1.begin(), K1.begin() + 1000), {}, 350},
            {crc_bytes(Bytes(K1.begin(), K1.begin() + 1000)), {kNak}},
            {block(2, K2), {kAck}}}),
     1152, A + K2},
    {"a_block_whose_number_and_complement_disagree_is_refused",
     steps({{block(1, A), {kAck}},
            {Bytes{kSoh, 2, 0} + B + crc_bytes(B), {kNak}},
            {block(2, B), {kAck}}}),
     256, A + B},
    // XMODEM carries no length: a sender that took some other byte for our
    // ACK skips a block, and its EOT would end a file that is short. Block 2
    // already on the line when block 1 is acknowledged is dropped, though
    // the sender counts it as delivered.
    {"a_sender_that_ran_ahead_of_our_ack_is_not_taken_at_its_eot",
     steps({{block(1, A) + block(2, B), {kAck}}, {{kEot}, kCancel}}, false), 0, A},
    {"an_eot_among_dropped_bytes_is_not_taken_for_the_end",
     steps({{block(1, A), {kAck}}, {{0x55, kEot, 0x66}, {kNak}}, {block(2, B), {kAck}}}), 256,
     A + B},
    {"a_file_that_cannot_be_written_cancels", steps({{block(1, A), kCancel}}, false), 0, {},
     true},
};

// The receiver on one end of a socket pair; the test plays the sender.
class ScriptedSender : public ::testing::TestWithParam<Script> {
protected:
    // A case that failed half-way leaves the receiver waiting: a block out
    // of sequence makes it cancel, so that the test ends instead of hanging.
    void TearDown() override {
        using namespace std::chrono_literals;
        if (!result_.valid()) return;
        for (int i = 0; i < 100 && result_.wait_for(100ms) != std::future_status::ready; ++i)
            send(block(0x7F, A));
    }

    void send(const Bytes& bytes) {
        ASSERT_EQ(write(sender_.get(), bytes.data(), bytes.size()),
                  static_cast<ssize_t>(bytes.size()));
    }

    // The next byte the receiver sends, or -1 after 5 s without one.
    int reply() {
        pollfd p{sender_.get(), POLLIN, 0};
        std::uint8_t c;
        if (poll(&p, 1, 5000) <= 0) return -1;
        return read(sender_.get(), &c, 1) == 1 ? c : -1;
    }

    testing_support::TemporaryDirectory dir_;
    Fd sender_, line_, out_;
    std::future<Outcome> result_;
};

TEST_P(ScriptedSender, AnswersEveryStepAndReportsTheFile) {
    const Script& s = GetParam();
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    sender_.reset(sv[0]);
    line_.reset(sv[1]);
    fcntl(line_.get(), F_SETFL, O_NONBLOCK);
    const auto path = dir_ / "received";
    out_.reset(s.disk_full ? open("/dev/full", O_WRONLY)
                           : open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
    ASSERT_TRUE(out_);
    result_ = std::async(std::launch::async, [this] { return receive(line_.get(), out_.get()); });
    for (std::size_t i = 0; i < s.steps.size(); ++i) {
        SCOPED_TRACE("step " + std::to_string(i));
        send(s.steps[i].send);
        usleep(static_cast<useconds_t>(s.steps[i].pause_ms) * 1000);
        Bytes got;
        for (int c; got.size() < s.steps[i].answer.size() && (c = reply()) >= 0;)
            got.push_back(static_cast<std::uint8_t>(c));
        ASSERT_EQ(got, s.steps[i].answer);
    }
    const Outcome o = result_.get();
    EXPECT_EQ(o.result, s.result);
    if (s.result > 0) {
        EXPECT_EQ(o.units, static_cast<std::uint32_t>(s.result) / 128);
    }
    EXPECT_EQ(testing_support::read_file(path), s.file);
}

INSTANTIATE_TEST_SUITE_P(Xmodem, ScriptedSender, ::testing::ValuesIn(kScripts),
                         [](const auto& info) { return std::string(info.param.name); });

// lrzsz's sender through a relay to the receiver's pseudo-terminal (a
// sender straight on the master would apply its own line settings to it).
struct RealTransfer {
    const char* name;
    std::size_t size;
    bool kilo;  // sx -k: 1024-byte blocks
};

class RealSender : public ::testing::TestWithParam<RealTransfer> {};

TEST_P(RealSender, TheFileArrivesWithTheSendersPaddingAndTheRightTotal) {
    if (!testing_support::have_program("sx")) GTEST_SKIP() << "lrzsz's sx is not installed";
    testing_support::TemporaryDirectory dir;
    const Bytes data = random_bytes(GetParam().size, static_cast<unsigned>(GetParam().size));
    testing_support::write_file(dir / "sent", data);
    testing_support::DownloadLine line;
    ASSERT_TRUE(line.slave);
    Fd out(open((dir / "received").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
    std::vector<std::string> argv{"sx", "-q", (dir / "sent").string()};
    if (GetParam().kilo) argv.insert(argv.begin() + 1, "-k");
    PeerProgram sx(argv);
    Outcome o;
    {
        LineRelay relay(sx.line(), line.master.get());
        o = receive(line.slave.get(), out.get());
        EXPECT_EQ(sx.finish(5000), 0) << "sx did not end cleanly";
    }
    const Bytes expected = with_sender_padding(data);
    EXPECT_EQ(o.result, static_cast<std::int32_t>(expected.size()));
    EXPECT_TRUE(testing_support::read_file(dir / "received") == expected);
}

INSTANTIATE_TEST_SUITE_P(
    Xmodem, RealSender,
    ::testing::Values(RealTransfer{"sx_k_sends_an_empty_file", 0, true},
                      RealTransfer{"sx_k_sends_2_MiB_and_3_bytes", (2u << 20) + 3, true},
                      RealTransfer{"sx_sends_1025_bytes", 1025, false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
