// The console is tested the way the switch uses it: on a real terminal. A
// pseudo-terminal stands in for the serial line; its master is the operator's
// terminal, which types keys and sees exactly the bytes the switch echoes.
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
#include <array>
#include <cstdio>
#include <thread>
#include <chrono>
#include <string>
#include <vector>

#include "common/unique_fd.hpp"
#include "support/testing.hpp"

namespace {

using testing_support::PrintTo;

using namespace std::string_literals;
using Fd = common::BasicUniqueFd<&::close>;

// Keys as the operator's terminal sends them.
const std::string kCtrlA = "\x01";
const std::string kCtrlB = "\x02";
const std::string kCtrlC = "\x03";
const std::string kCtrlD = "\x04";
const std::string kCtrlF = "\x06";
const std::string kTab = "\t";
const std::string kBs = "\b";
const std::string kDel = "\x7f";
const std::string kEsc = "\x1b";
const std::string kCr = "\r";
const std::string kLf = "\n";
const std::string kNul = "\0"s;

// What the switch sends back.
const std::string kBell = "\a";
std::string backspaces(std::size_t n) {
    return std::string(n, '\b');
}

// Long enough for every exchange below to arrive; the wait only bounds how
// long a broken console can stall the suite.
constexpr int kPatienceMs = 20000;

// Reads what the terminal has received: waits for the `expected` bytes the
// call must have sent, then briefly for any it should not have sent.
std::string read_available(int fd, std::size_t expected) {
    std::string out;
    char chunk[512];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, out.size() < expected ? kPatienceMs : 50) <= 0) break;
        if ((p.revents & POLLIN) == 0) break;
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n <= 0) break;
        out.append(chunk, static_cast<std::size_t>(n));
    }
    return out;
}

void write_all(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        ASSERT_GT(n, 0);
        done += static_cast<std::size_t>(n);
    }
}

// Standard input and output of this process go to the slave for the
// lifetime of the object, as the serial console is for the switch.
class ConsoleOn {
public:
    explicit ConsoleOn(int tty) : in_(dup(STDIN_FILENO)), out_(dup(STDOUT_FILENO)) {
        std::fflush(stdout);
        dup2(tty, STDIN_FILENO);
        dup2(tty, STDOUT_FILENO);
    }
    ~ConsoleOn() {
        std::fflush(stdout);
        dup2(in_.get(), STDIN_FILENO);
        dup2(out_.get(), STDOUT_FILENO);
    }
    ConsoleOn(const ConsoleOn&) = delete;
    ConsoleOn& operator=(const ConsoleOn&) = delete;

private:
    Fd in_;
    Fd out_;
};

class PtyTest : public ::testing::Test {
protected:
    void SetUp() override {
        int m = -1;
        int s = -1;
        ASSERT_EQ(openpty(&m, &s, nullptr, nullptr, nullptr), 0);
        master_.reset(m);
        slave_.reset(s);
    }

    // Keys typed ahead must reach the console as they are: without raw
    // settings the line discipline would echo them on arrival and act on
    // erase, kill, end-of-file and interrupt characters itself.
    void make_slave_raw() {
        termios t{};
        ASSERT_EQ(tcgetattr(slave(), &t), 0);
        cfmakeraw(&t);
        ASSERT_EQ(tcsetattr(slave(), TCSANOW, &t), 0);
    }

    void type(const std::string& keys) { write_all(master(), keys); }
    std::string screen(std::size_t expected) { return read_available(master(), expected); }

    int master() const { return master_.get(); }
    int slave() const { return slave_.get(); }
    // The operator's terminal goes away: reads of the console fail.
    void hang_up() { master_.reset(); }

private:
    Fd master_;
    Fd slave_;
};

// ---------------------------------------------------------------------------
// Line editor: one case is the keys typed, the bytes the terminal must see,
// and the text left in the buffer.

struct EditCase {
    const char* name;
    std::string keys;
    std::string echo;
    std::string text;
    std::uint32_t size = 128;
};

class LineEditing : public PtyTest, public ::testing::WithParamInterface<EditCase> {};

TEST_P(LineEditing, EchoesAndStoresTheLine) {
    const EditCase& c = GetParam();
    ASSERT_NO_FATAL_FAILURE(make_slave_raw());
    ASSERT_NO_FATAL_FAILURE(type(c.keys));

    // Stale bytes in the buffer and guard bytes after it show what the
    // editor clears and that it stays inside `size`.
    constexpr std::size_t kGuard = 8;
    std::vector<std::uint8_t> buf(c.size + kGuard, 0xA5);
    std::uint8_t* returned = nullptr;
    {
        ConsoleOn console(slave());
        returned = get_user_input(buf.data(), c.size);
    }

    EXPECT_EQ(returned, buf.data());
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
// Control keys without a meaning in the editor, 0 (an interrupted read) included.
const std::string kUnknownControls =
    "\0\x05\x07\x09\x0b\x0c\x0e\x0f\x10\x11\x12\x13\x14\x15"
    "\x16\x17\x18\x19\x1a\x1c\x1d\x1e\x1f"s;

INSTANTIATE_TEST_SUITE_P(
    Console, LineEditing,
    ::testing::Values(
        EditCase{"typed_at_the_end", "abc" + kCr, "abc\n", "abc"},
        EditCase{"line_feed_ends_the_line_too", "ab" + kLf, "ab\n", "ab"},
        EditCase{"enter_on_an_empty_line", kCr, "\n", ""},
        EditCase{"insert_in_the_middle", "ac" + kCtrlB + "b" + kCr, "ac\bbc\b\n", "abc"},
        EditCase{"insert_at_the_start_redraws_the_tail", "bc" + kCtrlA + "a" + kCr,
                 "bc\b\babc\b\b\n", "abc"},
        EditCase{"backspace_in_the_middle", "abcd" + kCtrlB + kCtrlB + kBs + kCr,
                 "abcd\b\b\bcd \b\b\b\n", "acd"},
        EditCase{"del_at_the_end", "ab" + kDel + kCr, "ab\b \b\n", "a"},
        EditCase{"ctrl_d_under_the_cursor", "abc" + kCtrlA + kCtrlF + kCtrlD + kCr,
                 "abc\b\b\bac \b\b\n", "ac"},
        EditCase{"deletions_on_both_sides_leave_zeros",
                 "abcdef" + kCtrlA + kCtrlD + kCtrlD + kCtrlF + kCtrlD + kBs + kCr,
                 "abcdef" + backspaces(6) + "bcdef " + backspaces(6) + "cdef " + backspaces(5) +
                     "c" + "ef " + backspaces(3) + "\bef " + backspaces(3) + "\n",
                 "ef"},
        EditCase{"keys_without_effect_at_the_edges",
                 kCtrlA + kCtrlB + kBs + kDel + kEsc + kDel + "ab" + kCtrlF + kCtrlD + kCr, "ab\n",
                 "ab"},
        EditCase{"ctrl_a_moves_back_over_each_character",
                 "abc" + kCtrlA + kCtrlA + kCtrlF + kCtrlF + kCtrlF + kCtrlF + kCr,
                 "abc\b\b\babc\n", "abc"},
        EditCase{"ctrl_c_keeps_the_text", "12" + kCtrlC, "12 <break>\n", "12"},
        EditCase{"ctrl_c_in_the_middle", "12" + kCtrlB + kCtrlC, "12\b <break>\n", "12"},
        EditCase{"tab_rings_the_bell", "a" + kTab + "b" + kCr, "a\ab\n", "ab"},
        EditCase{"key_0_rings_the_bell", "a" + kNul + "b" + kCr, "a\ab\n", "ab"},
        EditCase{"unknown_control_keys_ring_the_bell", kUnknownControls + kCr,
                 std::string(kUnknownControls.size(), '\a') + "\n", ""},
        EditCase{"esc_bracket_with_parameters_moves_right",
                 "ab" + kCtrlA + kEsc + "[1;5C" + "x" + kCr, "ab\b\baxb\b\n", "axb"},
        EditCase{"esc_bracket_d_and_c_move_the_cursor",
                 "ab" + kEsc + "[D" + kEsc + "[D" + kEsc + "[C" + "x" + kCr, "ab\b\baxb\b\n",
                 "axb"},
        EditCase{"up_and_down_do_nothing", "ab" + kEsc + "[A" + kEsc + "[B" + "c" + kCr, "abc\n",
                 "abc"},
        EditCase{"unknown_esc_bracket_key_is_dropped", "a" + kEsc + "[x" + kCr, "a\n", "a"},
        EditCase{"esc_then_a_character_inserts_it", kEsc + "x" + kCr, "x\n", "x"},
        EditCase{"esc_then_enter_finishes", "ab" + kEsc + kCr, "ab\n", "ab"},
        EditCase{"esc_then_a_control_key_rings_the_bell", "a" + kEsc + kTab + kCr, "a\a\n", "a"},
        EditCase{"esc_del_deletes_left", "ab" + kEsc + kDel + kCr, "ab\b \b\n", "a"},
        EditCase{"esc_backspace_deletes_left", "abc" + kCtrlB + kEsc + kBs + kCr, "abc\b\bc \b\b\n",
                 "ac"},
        EditCase{"bytes_from_128_are_stored", "\x80\xe9\xff" + kCr, "\x80\xe9\xff\n",
                 "\x80\xe9\xff"},
        EditCase{"size_128_takes_127_characters", std::string(127, 'x') + "y" + kCr,
                 std::string(127, 'x') + "\a\n", std::string(127, 'x')},
        EditCase{"deletion_makes_room_again", std::string(127, 'x') + "y" + kBs + "z" + kCr,
                 std::string(127, 'x') + "\a\b \bz\n", std::string(126, 'x') + "z"},
        EditCase{"mac_address_fills_size_18", kMac + "6" + kCr, kMac + "\a\n", kMac, 18},
        EditCase{"full_buffer_rings_in_the_middle_too", "abc" + kCtrlB + "x" + kCr, "abc\b\a\n",
                 "abc", 4},
        EditCase{"size_1_holds_only_the_nul", "a" + kCr, "\a\n", "", 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PtyTest, SizeZeroLeavesBufferAndKeysAlone) {
    ASSERT_NO_FATAL_FAILURE(make_slave_raw());
    ASSERT_NO_FATAL_FAILURE(type("x" + kCr));
    std::array<std::uint8_t, 4> untouched;
    untouched.fill(0xA5);
    std::uint8_t* returned = nullptr;
    {
        ConsoleOn console(slave());
        returned = get_user_input(untouched.data(), 0);
    }
    EXPECT_EQ(returned, untouched.data());
    EXPECT_TRUE(std::all_of(untouched.begin(), untouched.end(), [](auto b) { return b == 0xA5; }));
    EXPECT_EQ(screen(0), "");
    // The keys are still waiting for the next reader.
    EXPECT_EQ(read_available(slave(), 2), "x" + kCr);
}

// A console that has gone (a hung-up line) ends the line with what was typed
// instead of reading nothing for ever; the dialogues see that it ended.
TEST_F(PtyTest, AHungUpConsoleEndsTheLineWithWhatWasTyped) {
    ASSERT_NO_FATAL_FAILURE(make_slave_raw());
    ASSERT_NO_FATAL_FAILURE(type("ab"));
    screen(0);
    std::array<std::uint8_t, 8> line{};
    bool ended = false;
    {
        ConsoleOn console(slave());
        std::thread later([this] {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            hang_up();
        });
        get_user_input(line.data(), line.size());
        ended = console_input_ended();
        later.join();
    }
    EXPECT_STREQ(reinterpret_cast<const char*>(line.data()), "ab");
    EXPECT_TRUE(ended);
}

// Each character must be on the line when uartPutC returns, not when stdio's
// buffer happens to fill; only the low byte of the argument is sent.
TEST_F(PtyTest, PutCSendsTheLowByteAtOnce) {
    ASSERT_NO_FATAL_FAILURE(make_slave_raw());
    struct Put {
        int c;
        std::string sent;
    };
    const std::vector<Put> puts = {{'A', "A"}, {0x141, "A"}, {-1, "\xff"}, {0x80, "\x80"}};
    std::vector<int> results;
    std::vector<std::string> seen;
    {
        ConsoleOn console(slave());
        for (const Put& p : puts) {
            results.push_back(uartPutC(p.c));
            seen.push_back(screen(p.sent.size()));
        }
    }
    for (std::size_t i = 0; i < puts.size(); ++i) {
        EXPECT_EQ(results[i], 0) << "put " << puts[i].c;
        EXPECT_EQ(seen[i], puts[i].sent) << "put " << puts[i].c;
    }
}

// ---------------------------------------------------------------------------
// Single keys on a console in its usual mode (canonical, echo, signals). The
// reader runs in a child that owns the slave as its controlling terminal, so
// that Ctrl-C typed on it raises SIGINT in the reader as on the switch.

volatile sig_atomic_t g_sigint_seen = 0;

void note_sigint(int) {
    g_sigint_seen = 1;
}

struct KeyReport {
    std::uint8_t key;
    std::uint8_t canonical_after;
    std::uint8_t echo_after;
    std::uint8_t sigint_seen;
};

constexpr char kMarker = '#';

[[noreturn]] void read_one_key_as_console(const char* tty_path, int report_fd) {
    setsid();
    const int fd = open(tty_path, O_RDWR);
    if (fd < 0) _exit(2);
    ioctl(fd, TIOCSCTTY, 0);
    dup2(fd, STDIN_FILENO);
    dup2(fd, STDOUT_FILENO);
    dup2(fd, STDERR_FILENO);
    // As the switch installs it: no automatic restart of the interrupted read.
    struct sigaction sa {};
    sa.sa_handler = note_sigint;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    sigaction(SIGINT, &sa, nullptr);

    const int key = uartGetC();

    termios after{};
    tcgetattr(STDIN_FILENO, &after);
    const KeyReport r{static_cast<std::uint8_t>(key),
                      static_cast<std::uint8_t>((after.c_lflag & ICANON) != 0),
                      static_cast<std::uint8_t>((after.c_lflag & ECHO) != 0),
                      static_cast<std::uint8_t>(g_sigint_seen)};
    if (write(report_fd, &r, sizeof r) != sizeof r) _exit(3);
    // Anything the terminal echoed of the key is on the line before this.
    if (write(STDOUT_FILENO, &kMarker, 1) != 1) _exit(4);
    _exit(key == 0 && !g_sigint_seen ? 5 : 0);
}

struct KeyCase {
    const char* name;
    std::uint8_t typed;
    std::uint8_t returned;
    bool raises_sigint;
};

class SingleKey : public PtyTest, public ::testing::WithParamInterface<KeyCase> {};

TEST_P(SingleKey, ReadsWithoutEnterOrEchoAndRestoresTheTerminal) {
    const KeyCase& c = GetParam();
    termios usual{};
    ASSERT_EQ(tcgetattr(slave(), &usual), 0);
    ASSERT_EQ(usual.c_lflag & (ICANON | ECHO | ISIG), tcflag_t{ICANON | ECHO | ISIG});
    const char* tty_path = ptsname(master());
    ASSERT_NE(tty_path, nullptr);
    const std::string path = tty_path;

    int report_pipe[2];
    ASSERT_EQ(pipe(report_pipe), 0);
    Fd report_in(report_pipe[0]);
    Fd report_out(report_pipe[1]);
    std::fflush(nullptr);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) read_one_key_as_console(path.c_str(), report_out.get());
    report_out.reset();

    // Wait until the reader has switched the terminal to single keys (on
    // Linux the master reports the slave's settings); a key typed earlier
    // would sit in the canonical line buffer.
    bool single_key_mode = false;
    for (int waited_ms = 0; waited_ms < kPatienceMs && !single_key_mode; ++waited_ms) {
        termios now{};
        single_key_mode = tcgetattr(master(), &now) == 0 && (now.c_lflag & ICANON) == 0;
        if (!single_key_mode) usleep(1000);
    }
    if (!single_key_mode) kill(child, SIGKILL);
    EXPECT_TRUE(single_key_mode) << "uartGetC never left canonical mode";

    KeyReport report{};
    bool returned = false;
    std::string echoed;
    if (single_key_mode) {
        // One key and no Enter: a reader still in canonical mode never returns.
        write_all(master(), std::string(1, static_cast<char>(c.typed)));
        const std::string raw = read_available(report_in.get(), sizeof report);
        returned = raw.size() == sizeof report;
        if (returned) {
            std::copy(raw.begin(), raw.end(), reinterpret_cast<char*>(&report));
            echoed = screen(1);
        } else {
            kill(child, SIGKILL);
        }
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(single_key_mode);
    ASSERT_TRUE(returned) << "uartGetC did not return the key";

    EXPECT_EQ(report.key, c.returned);
    EXPECT_EQ(report.sigint_seen, c.raises_sigint ? 1 : 0);
    EXPECT_EQ(echoed, std::string(1, kMarker)) << "the key was echoed";
    EXPECT_TRUE(report.canonical_after);
    EXPECT_TRUE(report.echo_after);
    termios after{};
    ASSERT_EQ(tcgetattr(master(), &after), 0);
    EXPECT_EQ(after.c_lflag, usual.c_lflag);
    // The reader carried on after the key, Ctrl-C included, and exited itself.
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

INSTANTIATE_TEST_SUITE_P(Console, SingleKey,
                         ::testing::Values(KeyCase{"letter", 'k', 'k', false},
                                           KeyCase{"byte_above_127", 0xE9, 0xE9, false},
                                           KeyCase{"ctrl_c_interrupts_the_read", 3, 0, true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
