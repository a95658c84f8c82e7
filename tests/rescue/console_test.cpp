// The console is tested the way the switch uses it: on a real terminal. A
// pseudo-terminal stands in for the serial line; its master is the
// operator's terminal, which types keys and sees exactly the bytes the switch
// echoes.
#include "rescue/console.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
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
        ASSERT_NO_FATAL_FAILURE(open_pty());
        termios t{};
        ASSERT_EQ(tcgetattr(slave_.get(), &t), 0);
        cfmakeraw(&t);
        ASSERT_EQ(tcsetattr(slave_.get(), TCSANOW, &t), 0);
    }

    void open_pty() {
        int m = -1, s = -1;
        ASSERT_EQ(openpty(&m, &s, nullptr, nullptr, nullptr), 0);
        master_.reset(m);
        slave_.reset(s);
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

// ---------------------------------------------------------------------------
// Single keys on a console in its usual mode (canonical, echo, signals). The
// reader runs in a child that owns the slave as its controlling terminal, so
// that Ctrl-C typed on it raises SIGINT in the reader as on the switch
// (scripts/console-under-load repeats the Ctrl-C case on a busy machine).

volatile sig_atomic_t g_sigint_seen = 0;

void note_sigint(int) {
    g_sigint_seen = 1;
}

struct KeyReport {
    std::uint8_t key, canonical_after, echo_after, sigint_seen;
};

[[noreturn]] void read_one_key_as_console(const char* tty_path, int report_fd) {
    setsid();
    const int fd = open(tty_path, O_RDWR);
    if (fd < 0) _exit(2);
    ioctl(fd, TIOCSCTTY, 0);
    for (int std_fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) dup2(fd, std_fd);
    // As the switch installs it: no automatic restart of the interrupted read.
    struct sigaction sa {};
    sa.sa_handler = note_sigint;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    const int key = uartGetC();
    termios after{};
    tcgetattr(STDIN_FILENO, &after);
    const KeyReport r{static_cast<std::uint8_t>(key),
                      static_cast<std::uint8_t>((after.c_lflag & ICANON) != 0),
                      static_cast<std::uint8_t>((after.c_lflag & ECHO) != 0),
                      static_cast<std::uint8_t>(g_sigint_seen)};
    if (write(report_fd, &r, sizeof r) != sizeof r) _exit(3);
    // Anything the terminal echoed of the key is on the line before this mark.
    if (write(STDOUT_FILENO, "#", 1) != 1) _exit(4);
    _exit(0);
}

struct KeyCase {
    const char* name;
    std::uint8_t typed, returned;
    bool raises_sigint;
};

// The pseudo-terminal in its usual mode, as a console is before the switch
// asks for a key.
class SingleKey : public LineEditor, public ::testing::WithParamInterface<KeyCase> {
protected:
    void SetUp() override { open_pty(); }
};

TEST_P(SingleKey, ReadsWithoutEnterOrEchoAndRestoresTheTerminal) {
    const KeyCase& c = GetParam();
    termios usual{};
    ASSERT_EQ(tcgetattr(slave_.get(), &usual), 0);
    ASSERT_EQ(usual.c_lflag & (ICANON | ECHO | ISIG), tcflag_t{ICANON | ECHO | ISIG});
    const std::string path = ptsname(master_.get());
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    Fd report_in(report[0]), report_out(report[1]);
    std::fflush(nullptr);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) read_one_key_as_console(path.c_str(), report_out.get());
    report_out.reset();

    // Wait until the reader has switched the terminal to single keys (the
    // master reports the slave's settings); a key typed earlier would sit in
    // the canonical line buffer.
    bool single_key_mode = false;
    for (int waited_ms = 0; waited_ms < 20000 && !single_key_mode; ++waited_ms) {
        termios now{};
        single_key_mode = tcgetattr(master_.get(), &now) == 0 && (now.c_lflag & ICANON) == 0;
        if (!single_key_mode) usleep(1000);
    }
    KeyReport r{};
    bool returned = false;
    if (single_key_mode) {
        // One key and no Enter: a reader still in canonical mode never returns.
        ASSERT_NO_FATAL_FAILURE(type(std::string(1, static_cast<char>(c.typed))));
        pollfd p{report_in.get(), POLLIN, 0};
        returned = poll(&p, 1, 20000) == 1 && read(report_in.get(), &r, sizeof r) == sizeof r;
    }
    if (!returned) kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(single_key_mode) << "uartGetC never left canonical mode";
    ASSERT_TRUE(returned) << "uartGetC did not return the key";
    EXPECT_EQ(r.key, c.returned);
    EXPECT_EQ(r.sigint_seen, c.raises_sigint ? 1 : 0);
    EXPECT_EQ(screen(1), "#") << "the key was echoed";
    EXPECT_TRUE(r.canonical_after && r.echo_after);
    termios after{};
    ASSERT_EQ(tcgetattr(master_.get(), &after), 0);
    EXPECT_EQ(after.c_lflag, usual.c_lflag);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

INSTANTIATE_TEST_SUITE_P(Console, SingleKey,
                         ::testing::Values(KeyCase{"letter", 'k', 'k', false},
                                           KeyCase{"byte_above_127", 0xE9, 0xE9, false},
                                           KeyCase{"ctrl_c_interrupts_the_read", 3, 0, true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
