// Console input of the rescue dialogues. Standard input and output are the
// switch's serial console; the operator's terminal on the other end does no
// line editing of its own, so the editor below draws every change itself with
// backspaces, which any dumb terminal understands.
#include "rescue/console.hpp"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <span>
#include <string_view>

namespace {

// Whether the last read of the console found no more keys to give (end of
// input, a hung-up line).
bool input_ended = false;

constexpr int kCtrlA = 1;
constexpr int kCtrlB = 2;
constexpr int kCtrlC = 3;
constexpr int kCtrlD = 4;
constexpr int kCtrlF = 6;
constexpr int kBell = 7;
constexpr int kBackspace = 8;
constexpr int kLineFeed = 10;
constexpr int kReturn = 13;
constexpr int kEscape = 27;
constexpr int kDelete = 127;

constexpr std::string_view kBreak = " <break>\n";

// Puts the console's own settings back when the single key has been read,
// whatever way the read ended.
class RestoreTerminal {
public:
    explicit RestoreTerminal(const termios& saved) : saved_(saved) {}
    RestoreTerminal(const RestoreTerminal&) = delete;
    RestoreTerminal& operator=(const RestoreTerminal&) = delete;
    ~RestoreTerminal() { tcsetattr(STDIN_FILENO, TCSANOW, &saved_); }

private:
    termios saved_;
};

void echo(std::string_view text) {
    for (char c : text) uartPutC(static_cast<unsigned char>(c));
}

void echo(std::span<const std::uint8_t> text) {
    for (std::uint8_t c : text) uartPutC(c);
}

void echo_backspaces(std::size_t n) {
    for (; n > 0; --n) uartPutC(kBackspace);
}

// One line being edited in the caller's buffer. The text always ends with a
// NUL and every byte after it is 0, so the caller can hand the buffer to C
// string functions and never sees leftovers of deleted characters.
class LineEditor {
public:
    explicit LineEditor(std::span<std::uint8_t> buf) : buf_(buf) {
        std::memset(buf_.data(), 0, buf_.size());
    }

    bool done() const { return done_; }

    void key(int k) {
        switch (escape_) {
        case Escape::kAfterEsc:
            // ESC Backspace and ESC DEL, which some terminals send for
            // Alt-Backspace, simply fall through to the plain deletion.
            escape_ = k == '[' ? Escape::kCsi : Escape::kNone;
            if (escape_ == Escape::kNone) plain_key(k);
            return;
        case Escape::kCsi:
            // Parameters, as in ESC [ 1 ; 5 C for Ctrl-Right, are skipped;
            // only the final byte says what the key was.
            if ((k >= '0' && k <= '9') || k == ';') return;
            escape_ = Escape::kNone;
            if (k == 'C') cursor_right();
            if (k == 'D') cursor_left();
            return;  // up, down and the rest have no meaning on one line
        case Escape::kNone:
            plain_key(k);
            return;
        }
    }

private:
    enum class Escape { kNone, kAfterEsc, kCsi };

    void plain_key(int k) {
        switch (k) {
        case kReturn:
        case kLineFeed:
            uartPutC(kLineFeed);
            done_ = true;
            break;
        case kCtrlA:
            echo_backspaces(cursor_);
            cursor_ = 0;
            break;
        case kCtrlB:
            cursor_left();
            break;
        case kCtrlC:
            // The caller gets the text as it stands; only the cursor is reset.
            cursor_ = 0;
            echo(kBreak);
            done_ = true;
            break;
        case kCtrlD:
            if (cursor_ < length_) remove_at_cursor();
            break;
        case kCtrlF:
            cursor_right();
            break;
        case kBackspace:
        case kDelete:
            delete_left();
            break;
        case kEscape:
            escape_ = Escape::kAfterEsc;
            break;
        default:
            // Control keys we do not know, and the 0 that a read broken off by
            // Ctrl-C yields, only ring the bell. Bytes from 128 up are stored:
            // they are characters of the operator's code page.
            if (k < ' ')
                uartPutC(kBell);
            else
                insert(static_cast<std::uint8_t>(k));
            break;
        }
    }

    void cursor_left() {
        if (cursor_ == 0) return;
        --cursor_;
        uartPutC(kBackspace);
    }

    void cursor_right() {
        if (cursor_ == length_) return;
        uartPutC(buf_[cursor_]);
        ++cursor_;
    }

    // Room for one more character means room left for it and the NUL.
    void insert(std::uint8_t c) {
        if (length_ + 1 >= buf_.size()) {
            uartPutC(kBell);
            return;
        }
        const auto tail = buf_.subspan(cursor_, length_ - cursor_);
        uartPutC(c);
        echo(tail);
        // The tail and its NUL move one place right, into a byte that is 0.
        std::memmove(&buf_[cursor_ + 1], &buf_[cursor_], tail.size() + 1);
        echo_backspaces(tail.size());
        buf_[cursor_++] = c;
        ++length_;
    }

    void delete_left() {
        if (cursor_ == 0) return;
        --cursor_;
        uartPutC(kBackspace);
        remove_at_cursor();
    }

    // Closes the gap over the cursor's character and redraws the tail: the
    // blank wipes the last character, now one column too far right, from the
    // screen, and the backspaces bring the terminal back to the cursor.
    void remove_at_cursor() {
        std::memmove(&buf_[cursor_], &buf_[cursor_ + 1], length_ - cursor_);
        --length_;  // the old NUL stays behind, so the bytes after the text stay 0
        const auto tail = buf_.subspan(cursor_, length_ - cursor_);
        echo(tail);
        uartPutC(' ');
        echo_backspaces(tail.size() + 1);
    }

    std::span<std::uint8_t> buf_;
    std::size_t length_ = 0;
    std::size_t cursor_ = 0;
    Escape escape_ = Escape::kNone;
    bool done_ = false;
};

// One key as uartGetC reads it, waiting at most `timeout` (nullptr: for
// ever); `timed_out` tells a wait that ran out from an interrupted read.
int read_key(const timespec* timeout, bool& timed_out) {
    timed_out = false;
    std::uint8_t key = 0;
    // SIGINT is held until the wait below lets it in: a Ctrl-C that came
    // between the switch to single keys and a plain blocking read would be
    // handled before the read started, and the read would then wait for the
    // next key instead of breaking off.
    sigset_t sigint, original;
    sigemptyset(&sigint);
    sigaddset(&sigint, SIGINT);
    sigprocmask(SIG_BLOCK, &sigint, &original);
    sigset_t waiting = original;
    sigdelset(&waiting, SIGINT);
    termios saved{};
    tcgetattr(STDIN_FILENO, &saved);
    termios one_key = saved;
    // ISIG stays as the console has it: Ctrl-C must still raise SIGINT, whose
    // handler breaks the read off instead of the key arriving here.
    one_key.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    one_key.c_cc[VMIN] = 1;
    one_key.c_cc[VTIME] = 0;
    tcsetattr(STDIN_FILENO, TCSANOW, &one_key);
    const RestoreTerminal restore(saved);
    // The wait lets SIGINT in and waits for a key in one step. An
    // interrupted or failed read leaves the key at 0, which is what the
    // dialogues expect; the reason is found in sig_quit_raised.
    pollfd console{STDIN_FILENO, POLLIN, 0};
    ssize_t got = -1;
    const int ready = ::ppoll(&console, 1, timeout, &waiting);
    if (ready > 0) got = read(STDIN_FILENO, &key, 1);
    const int err = ready == 0 ? EINTR : errno;
    timed_out = ready == 0;
    sigprocmask(SIG_SETMASK, &original, nullptr);
    input_ended = got == 0 || (got < 0 && err != EINTR);
    return key;
}

}  // namespace

int uartGetC() {
    bool timed_out = false;
    return read_key(nullptr, timed_out);
}

int console_key_within(unsigned milliseconds, bool& timed_out) {
    const timespec t{static_cast<time_t>(milliseconds / 1000),
                     static_cast<long>(milliseconds % 1000) * 1000000L};
    return read_key(&t, timed_out);
}

bool console_input_ended() {
    return input_ended;
}

int uartPutC(int c) {
    std::putchar(c & 0xFF);
    // Flushed at once: on a slow serial line the operator must see each key.
    return std::fflush(stdout);
}

std::uint8_t* get_user_input(std::uint8_t* buf, std::uint32_t size) {
    // A buffer of no bytes cannot even hold the NUL: there is nothing to edit.
    if (buf == nullptr || size == 0) return buf;
    LineEditor editor(std::span(buf, size));
    while (!editor.done()) {
        const int k = uartGetC();
        if (input_ended) break;
        editor.key(k);
    }
    return buf;
}
