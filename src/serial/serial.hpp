// Switching the console line to the download speed and back. A transfer over
// the console needs 115200 bit/s and a line without editing, echo, signal
// keys or output processing; the operator's terminal must follow each
// switch, and pressing Enter shows that both ends agree again.
#pragma once

#include <termios.h>

// The console line's own settings, saved by init_serial for reset_serial.
extern termios oldtty;

namespace serial {

inline constexpr const char* kPort = "/dev/ttyS0";
// A reminder after this many polls without the awaited key, one a second.
inline constexpr int kPollsPerReminder = 11;

}  // namespace serial

// Opens the console port, switches it to the download settings and waits
// for Enter at the new speed. Returns the port's descriptor, or -1 when it
// cannot be opened (then nothing was switched).
int init_serial();

// Puts the saved settings back on `fd` and waits for Enter. Does not close
// `fd`; the result carries no meaning.
int reset_serial(int fd);
