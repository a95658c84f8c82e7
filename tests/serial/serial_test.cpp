// Switching the console line for a download, on a real terminal: a
// pseudo-terminal stands for the serial line; its slave is the switch's
// /dev/ttyS0 (and standard output), its master the operator's terminal.
#include "serial/serial.hpp"

#include <gtest/gtest.h>
#include <termios.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "serial/serial_line.hpp"

namespace {

using serial_testing::Fd;
using serial_testing::SerialLine;

// One second of the switch's waits is a millisecond here.
const bool fast_clock = ::setenv("BOOTLAUNCH_SIM_CLOCK", "1000", 0) == 0;

const std::string kStartReminder =
    "\r\n    ... Waiting for the <Enter> key to be hit before the download can start...\r\n";
// With the console's settings back, the line feed of each \r\n also gets
// its carriage return.
const std::string kBackReminder = "\r\r\n    ... Waiting for the <ENTER> key to be hit...\r\r\n";

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
    wait_for_line(true);
    // Stray bytes (a terminal still at the old speed) cost one poll each; a
    // reminder follows every 11 polls without the carriage return.
    type(std::string(23, 'x') + "\r");
    download.join();
    ASSERT_GE(fd.load(), 0);
    Fd port(fd.load());
    const std::string shown = screen_until(kStartReminder + kStartReminder);
    const termios t = line();
    constexpr auto kCooked = static_cast<tcflag_t>(ICANON | ISIG | ECHO | ECHOE);

    std::thread back([&] { reset_serial(port.get()); });
    screen_until("Change the baud rate back to 9600 bps, hit the <ENTER> key");
    wait_for_line(false);
    type("\r");  // ICRNL is back: Enter arrives as the line feed awaited
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

TEST_F(SerialLine, WithoutCrToLfTheSwitchBackWaitsForALineFeed) {
    termios t = line();
    t.c_iflag &= static_cast<tcflag_t>(~ICRNL);
    tcsetattr(slave_.get(), TCSANOW, &t);
    Fd port = switched();
    std::atomic<bool> done{false};
    std::thread back([&] {
        reset_serial(port.get());
        done = true;
    });
    wait_for_line(false);
    type("\r");
    // Eleven polls later the reminder shows that the CR did not count.
    screen_until(kBackReminder);
    restore_stdout();
    EXPECT_FALSE(done.load());
    type("\n");
    back.join();
}

TEST_F(SerialLine, APortThatCannotBeOpenedIsReportedAndNothingIsSwitched) {
    std::filesystem::remove(dir_ / "ttyS0");
    restore_stdout();
    const termios before = line();
    testing::internal::CaptureStderr();
    EXPECT_EQ(init_serial(), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Can't open serial port!: No such file or directory\n");
    EXPECT_TRUE(same_line(before, line()));
}

}  // namespace
