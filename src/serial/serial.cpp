#include "serial/serial.hpp"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>

#include "platform/clock.hpp"
#include "platform/device.hpp"

termios oldtty;

namespace {

constexpr char kCarriageReturn = 13;
constexpr char kLineFeed = 10;

// Polls the non-blocking port once a second until `key` arrives; every
// other byte is consumed and costs one poll. The wait has no end: only the
// operator can say that the terminal has been switched.
void wait_for(int fd, char key, const char* reminder) {
    int polls = 0;
    for (;;) {
        char c = 0;
        if (dev::read(fd, &c, 1) == 1 && c == key) return;
        platform::pause_s(1);
        if (polls == serial::kPollsPerReminder - 1) {
            polls = 0;
            std::puts(reminder);
            std::fflush(stdout);
        } else {
            ++polls;
        }
    }
}

// Waits until what was printed has left the line, then throws away what
// either direction still holds.
void drain_and_flush(int fd) {
    std::fflush(stdout);
    dev::ioctl(fd, TCSBRK, 1ul);  // tcdrain
    tcflush(fd, TCIOFLUSH);
}

}  // namespace

int init_serial() {
    const int fd = dev::open(serial::kPort, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        std::perror("Can't open serial port!");
        return -1;
    }
    std::puts("       Change the baud rate to 115200 bps and hit the <ENTER> key");
    std::puts("       before initiating the download.");
    drain_and_flush(fd);
    tcgetattr(fd, &oldtty);

    termios line = oldtty;
    cfsetispeed(&line, B115200);
    cfsetospeed(&line, B115200);
    line.c_cflag &= static_cast<tcflag_t>(~(PARENB | CSTOPB | CSIZE));
    line.c_cflag |= CS8;
    line.c_iflag = IGNBRK;
    line.c_oflag = 0;
    line.c_lflag &= static_cast<tcflag_t>(~(ICANON | ISIG | ECHO | ECHOE));
    tcsetattr(fd, TCSADRAIN, &line);
    tcflow(fd, TCOON);

    // Enter arrives as a carriage return: the line no longer translates it.
    wait_for(
        fd, kCarriageReturn,
        "\r\n    ... Waiting for the <Enter> key to be hit before the download can start...\r");
    return fd;
}

int reset_serial(int fd) {
    std::puts("       Change the baud rate back to 9600 bps, hit the <ENTER> key");
    drain_and_flush(fd);
    tcsetattr(fd, TCSADRAIN, &oldtty);
    tcflow(fd, TCOON);
    // With the console's own settings (ICRNL) Enter arrives as a line feed.
    wait_for(fd, kLineFeed, "\r\n    ... Waiting for the <ENTER> key to be hit...\r");
    return 0;
}
