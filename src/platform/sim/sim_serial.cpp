// The console port. In the simulated switch it is a pseudo-terminal, which
// differs from the switch's UART in one way that matters: a pty drains at
// once. On the switch, tcdrain waits until the last message has left the
// UART, so a tcflush that follows cannot discard it; on a pty the other end
// may not have read the message yet when the flush comes. The drain here
// gives the far end the time the real line would have taken.
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "platform/sim/sim_internal.hpp"

namespace sim::detail {

namespace {

// What a few lines take at 9600 bit/s; not scaled by the simulator's clock,
// since it is the far end's reading time that it stands for.
constexpr useconds_t kDrainTimeUs = 50000;

}  // namespace

bool serial_path(const std::string& mapped) {
    return device_named(mapped, "ttyS");
}

int serial_ioctl(int fd, unsigned long request, unsigned long value) {
    const int r = ::ioctl(fd, request, value);
    if (request == TCSBRK && value != 0 && r == 0) ::usleep(kDrainTimeUs);
    return r;
}

}  // namespace sim::detail
