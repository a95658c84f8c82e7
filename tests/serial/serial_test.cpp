// Switching the console line for a download, on a real terminal: a
// pseudo-terminal stands for the serial line; its slave is the switch's
// /dev/ttyS0 (and standard output), its master the operator's terminal.
// (The switch on the powered board, with a real sender, and a port that
// cannot be opened are the end-to-end and rescue tests'.)
#include "serial/serial.hpp"

#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "common/unique_fd.hpp"
#include "platform/sim/sim.hpp"
#include "support/testing.hpp"

namespace {

using Fd = common::BasicUniqueFd<&::close>;

constexpr int kPatienceMs = 20000;

// One second of the switch's waits is a millisecond here.
const bool fast_clock = ::setenv("BOOTLAUNCH_SIM_CLOCK", "1000", 0) == 0;

const std::string kStartReminder =
    "\r\n    ... Waiting for the <Enter> key to be hit before the download can start...\r\n";

class SerialLine : public ::testing::Test {
protected:
    void SetUp() override {
        int m = -1, s = -1;
        ASSERT_EQ(openpty(&m, &s, nullptr, nullptr, nullptr), 0);
        master_.reset(m);
        slave_.reset(s);
        // The console as the switch's start-up leaves it: cooked, echoing,
        // CR turned into LF on input.
        termios t = line();
        t.c_iflag |= ICRNL;
        t.c_lflag |= ICANON | ECHO | ISIG;
        t.c_oflag |= OPOST | ONLCR;
        cfsetspeed(&t, B9600);
        tcsetattr(s, TCSANOW, &t);
        std::filesystem::create_symlink(ttyname(s), dir_ / "ttyS0");
        sim::set_dev_dir(dir_.path().string());
        std::fflush(stdout);
        saved_out_.reset(dup(STDOUT_FILENO));
        dup2(s, STDOUT_FILENO);
    }
    void TearDown() override { restore_stdout(); }

    // Back to the test's own output before anything is checked: a failure
    // message must not go to the switch's console.
    void restore_stdout() {
        std::fflush(stdout);
        if (saved_out_) dup2(saved_out_.get(), STDOUT_FILENO);
    }

    // What the operator's terminal has shown so far, waiting up to the
    // patience for `until` to appear.
    std::string screen_until(const std::string& until) {
        char chunk[512];
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(kPatienceMs);
        while (screen_.find(until) == std::string::npos &&
               std::chrono::steady_clock::now() < deadline) {
            pollfd p{master_.get(), POLLIN, 0};
            if (poll(&p, 1, kPatienceMs) <= 0) break;
            const ssize_t n = read(master_.get(), chunk, sizeof chunk);
            if (n <= 0) break;
            screen_.append(chunk, static_cast<std::size_t>(n));
        }
        return screen_;
    }

    // Waits until the line carries the download settings (or no longer
    // does), then types `keys`: keys typed before the switch flushes its
    // input would be lost, as they would be on the switch.
    void type_once_switched(bool download, const std::string& keys) {
        for (int i = 0; i < kPatienceMs && (line().c_iflag == IGNBRK) != download; ++i)
            usleep(1000);
        ASSERT_EQ(write(master_.get(), keys.data(), keys.size()),
                  static_cast<ssize_t>(keys.size()));
    }

    termios line() {
        termios t{};
        tcgetattr(slave_.get(), &t);
        return t;
    }

    testing_support::TemporaryDirectory dir_;
    Fd master_, slave_, saved_out_;
    std::string screen_;
};

// The settings that make a line, compared field by field (the record's
// padding is not part of them).
bool same_line(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && cfgetispeed(&a) == cfgetispeed(&b) &&
           cfgetospeed(&a) == cfgetospeed(&b) && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

TEST_F(SerialLine, SwitchesTo115200RawAtTheCarriageReturnAndBackAtEnter) {
    const termios before = line();
    std::atomic<int> fd{-2};
    std::thread download([&] { fd = init_serial(); });
    // Stray bytes (a terminal still at the old speed) cost one poll each; a
    // reminder follows every 11 polls without the carriage return.
    type_once_switched(true, std::string(23, 'x') + "\r");
    download.join();
    ASSERT_GE(fd.load(), 0);
    Fd port(fd.load());
    const std::string shown = screen_until(kStartReminder + kStartReminder);
    const termios t = line();
    constexpr auto kCooked = static_cast<tcflag_t>(ICANON | ISIG | ECHO | ECHOE);

    std::thread back([&] { reset_serial(port.get()); });
    screen_until("Change the baud rate back to 9600 bps, hit the <ENTER> key");
    type_once_switched(false, "\r");  // ICRNL is back: Enter arrives as the line feed awaited
    back.join();
    restore_stdout();
    EXPECT_EQ(shown.rfind("       Change the baud rate to 115200 bps and hit the <ENTER> key\r\n"
                          "       before initiating the download.\r\n" +
                              kStartReminder + kStartReminder,
                          0),
              0u)
        << shown;
    EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B115200));
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
    EXPECT_EQ(t.c_iflag, static_cast<tcflag_t>(IGNBRK));
    EXPECT_EQ(t.c_oflag, 0u);
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB), static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_lflag, before.c_lflag & ~kCooked);
    EXPECT_EQ(std::memcmp(t.c_cc, before.c_cc, sizeof t.c_cc), 0);
    EXPECT_TRUE(same_line(oldtty, before));
    EXPECT_TRUE(same_line(line(), before));
}

}  // namespace
