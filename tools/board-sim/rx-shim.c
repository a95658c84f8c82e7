/*
 * Preloaded into lrzsz's rz by the simulated switch's /usr/bin/rx: makes the
 * XMODEM receiver on the console pty behave as the switch's receiver does on
 * its serial line. board-sim compiles it with the PC's compiler into the
 * state directory (DIR/.board/rx-shim.so).
 *
 * 1. Flushing the line does nothing (tcflush(), and the TCFLSH ioctl that
 *    rz's purge calls itself). On a pty a flush by the receiver discards
 *    bytes the other side has already written: rz flushes after each ACK,
 *    and the sender, fed through board-sim's relay without a line's delay,
 *    has often written the next block by then. That block is lost, rz
 *    times out and asks again (5 s each), or sx waits out its minute-long
 *    time-out for a lost last ACK. On the switch's serial line nothing of
 *    the next block is in flight yet when rz flushes.
 *
 * 2. While the first block has not begun, a 'C' goes out every second, as the
 *    switch's receiver sends it: an operator may start the sender on the PC
 *    some seconds after the switch began waiting, and lrzsz alone repeats
 *    its 'C' only every 14 s (a 13 s wait for the first block plus a 1 s
 *    purge). Its first-block wait becomes 5 s, so that rz's own ten tries
 *    give up after about a minute and the switch goes back to its menu.
 *    Once a block has begun, rz's own timing is left alone.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <poll.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

enum { SOH = 0x01, STX = 0x02, EOT = 0x04, CAN = 0x18 };
enum { FIRST_BLOCK_WAIT = 13, FIRST_BLOCK_WAIT_HERE = 5 };

static int waiting_for_sender = 1; /* no block has begun yet */
static unsigned armed_seconds;     /* rz's current read time-out */

int tcflush(int fd, int queue_selector) {
    (void)fd;
    (void)queue_selector;
    return 0;
}

int ioctl(int fd, unsigned long request, ...) {
    static int (*real_ioctl)(int, unsigned long, ...);
    if (!real_ioctl) real_ioctl = (int (*)(int, unsigned long, ...))dlsym(RTLD_NEXT, "ioctl");
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    if (request == TCFLSH) return 0;
    return real_ioctl(fd, request, arg);
}

unsigned alarm(unsigned seconds) {
    static unsigned (*real_alarm)(unsigned);
    if (!real_alarm) real_alarm = (unsigned (*)(unsigned))dlsym(RTLD_NEXT, "alarm");
    if (waiting_for_sender && seconds == FIRST_BLOCK_WAIT) seconds = FIRST_BLOCK_WAIT_HERE;
    armed_seconds = seconds;
    return real_alarm(seconds);
}

static int starts_transfer(const unsigned char* data, ssize_t n) {
    return n > 0 && (data[0] == SOH || data[0] == STX || data[0] == EOT || data[0] == CAN);
}

ssize_t read(int fd, void* buf, size_t count) {
    static ssize_t (*real_read)(int, void*, size_t);
    if (!real_read) real_read = (ssize_t (*)(int, void*, size_t))dlsym(RTLD_NEXT, "read");
    /* Only rz's long waits on the console for the first block; its short
     * purge reads are followed by a 'C' of its own. */
    if (fd != 0 || !waiting_for_sender || armed_seconds < 2) return real_read(fd, buf, count);
    for (;;) {
        struct pollfd line = {.fd = 0, .events = POLLIN};
        int ready = poll(&line, 1, 1000);
        if (ready < 0) return -1; /* rz's alarm: its time-out, errno EINTR */
        if (ready > 0) break;
        if (write(1, "C", 1) < 0 && errno != EINTR) break;
    }
    ssize_t n = real_read(fd, buf, count);
    if (starts_transfer(buf, n)) waiting_for_sender = 0;
    return n;
}
