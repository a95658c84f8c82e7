// The console is tested the way the switch uses it: on a real terminal. A
// pseudo-terminal stands in for the serial line; its master is the
// operator's terminal, which types keys and sees exactly the bytes the switch
// echoes.
#include "rescue/console.hpp"

#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "common/unique_fd.hpp"
#include "support/testing.hpp"

namespace {

using namespace std::string_literals;
using testing_support::PrintTo;
using Fd = common::BasicUniqueFd<&::close>;

// Keys as the operator's terminal sends them.
const std::string kCtrlA = "\x01", kCtrlB = "\x02", kCtrlC = "\x03", kCtrlD = "\x04",
                  kCtrlF = "\x06", kBs = "\b", kDel = "\x7f", kEsc = "\x1b", kCr = "\r";

// A pseudo-terminal in raw mode (keys typed ahead reach the line editor as
// they are, not through the line discipline), its slave as standard input
// and output while the editor runs.
class LineEditor : public ::testing::Test {
protected:
    void SetUp() override {
        int m = -1, s = -1;
        ASSERT_EQ(openpty(&m, &s, nullptr, nullptr, nullptr), 0);
        master_.reset(m);
        slave_.reset(s);
        termios t{};
        ASSERT_EQ(tcgetattr(slave_.get(), &t), 0);
        cfmakeraw(&t);
        ASSERT_EQ(tcsetattr(slave_.get(), TCSANOW, &t), 0);
    }

    void type(const std::string& keys) {
        ASSERT_EQ(write(master_.get(), keys.data(), keys.size()),
                  static_cast<ssize_t>(keys.size()));
    }

    std::uint8_t* edit(std::uint8_t* buf, std::uint32_t size) {
        std::fflush(stdout);
        const Fd in(dup(STDIN_FILENO)), out(dup(STDOUT_FILENO));
        dup2(slave_.get(), STDIN_FILENO);
        dup2(slave_.get(), STDOUT_FILENO);
        std::uint8_t* const result = get_user_input(buf, size);
        std::fflush(stdout);
        dup2(in.get(), STDIN_FILENO);
        dup2(out.get(), STDOUT_FILENO);
        return result;
    }

    // What the terminal received: the `expected` bytes it must have got
    // (waiting only as long as a broken console may stall the suite), then
    // briefly any it should not have.
    std::string screen(std::size_t expected) {
        std::string seen;
        char chunk[512];
        for (pollfd p{master_.get(), POLLIN, 0};
             poll(&p, 1, seen.size() < expected ? 20000 : 50) > 0 && (p.revents & POLLIN);) {
            const ssize_t n = read(master_.get(), chunk, sizeof chunk);
            if (n <= 0) break;
            seen.append(chunk, static_cast<std::size_t>(n));
        }
        return seen;
    }

    Fd master_, slave_;
};

// One case is the keys typed, the bytes the terminal must see, and the text
// left in the buffer.
struct EditCase {
    const char* name;
    std::string keys;
    std::string echo;
    std::string text;
    std::uint32_t size = 128;
};

class LineEditing : public LineEditor, public ::testing::WithParamInterface<EditCase> {};

TEST_P(LineEditing, EchoesAndStoresTheLine) {
    const EditCase& c = GetParam();
    ASSERT_NO_FATAL_FAILURE(type(c.keys));
    // Stale bytes in the buffer and guard bytes after it show what the
    // editor clears and that it stays inside `size`.
    std::vector<std::uint8_t> buf(c.size + 8, 0xA5);
    EXPECT_EQ(edit(buf.data(), c.size), buf.data());
    EXPECT_EQ(screen(c.echo.size()), c.echo);

    const auto end = buf.begin() + c.size;
    const auto nul = std::find(buf.begin(), end, 0);
    ASSERT_NE(nul, end) << "no terminating NUL";
    EXPECT_EQ(std::string(buf.begin(), nul), c.text);
    EXPECT_TRUE(std::all_of(nul, end, [](std::uint8_t b) { return b == 0; }))
        << "bytes after the NUL are not all 0";
    EXPECT_TRUE(std::all_of(end, buf.end(), [](std::uint8_t b) { return b == 0xA5; }))
        << "written past the buffer";
}

const std::string kMac = "00:11:22:33:44:55";
// Control keys without a meaning in the editor, Tab and 0 (an interrupted
// read) included.
const std::string kUnknownControls =
    "\0\x05\x07\x09\x0b\x0c\x0e\x0f\x10\x11\x12\x13\x14\x15"
    "\x16\x17\x18\x19\x1a\x1c\x1d\x1e\x1f"s;

INSTANTIATE_TEST_SUITE_P(
    Console, LineEditing,
    ::testing::Values(
        EditCase{"typed_at_the_end", "abc" + kCr, "abc\n", "abc"},
        EditCase{"insert_at_the_start_redraws_the_tail", "bc" + kCtrlA + "a" + kCr,
                 "bc\b\babc\b\b\n", "abc"},
        EditCase{"backspace_in_the_middle", "abcd" + kCtrlB + kCtrlB + kBs + kCr,
                 "abcd\b\b\bcd \b\b\b\n", "acd"},
        EditCase{"ctrl_d_under_the_cursor", "abc" + kCtrlA + kCtrlF + kCtrlD + kCr,
                 "abc\b\b\bac \b\b\n", "ac"},
        EditCase{"keys_without_effect_at_the_edges",
                 kCtrlA + kCtrlB + kBs + kDel + kEsc + kDel + "ab" + kCtrlF + kCtrlD + kCr, "ab\n",
                 "ab"},
        EditCase{"ctrl_c_keeps_the_text", "12" + kCtrlB + kCtrlC, "12\b <break>\n", "12"},
        EditCase{"unknown_control_keys_ring_the_bell", "a" + kUnknownControls + kCr,
                 "a" + std::string(kUnknownControls.size(), '\a') + "\n", "a"},
        EditCase{"esc_bracket_with_parameters_moves_right",
                 "ab" + kCtrlA + kEsc + "[1;5C" + "x" + kCr, "ab\b\baxb\b\n", "axb"},
        EditCase{"mac_address_fills_size_18", kMac + "6" + kCr, kMac + "\a\n", kMac, 18}),
    [](const auto& info) { return std::string(info.param.name); });

// A console that has gone (a hung-up line) ends the line with what was typed
// instead of reading nothing for ever; the dialogues see that it ended.
TEST_F(LineEditor, AHungUpConsoleEndsTheLineWithWhatWasTyped) {
    ASSERT_NO_FATAL_FAILURE(type("ab"));
    std::uint8_t line[8] = {};
    std::thread later([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        master_.reset();
    });
    edit(line, sizeof line);
    later.join();
    EXPECT_STREQ(reinterpret_cast<const char*>(line), "ab");
    EXPECT_TRUE(console_input_ended());
}

}  // namespace
