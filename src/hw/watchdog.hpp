// The board's hardware watchdog (/dev/watchdog, Linux's watchdog API). Once
// started it resets the switch unless it is fed within its timeout; closing
// the device does not stop it, unless the magic character was written first.
#pragma once

namespace watchdog {

inline constexpr const char* kDevice = "/dev/watchdog";

// Starts the watchdog with a timeout of `seconds` and leaves it running for
// whoever takes the switch over (the application feeds it, or stops it with
// disarm()). False when the board has no watchdog or refused the timeout
// (then the watchdog is stopped again where it can be).
bool arm(int seconds);

// Stops a running watchdog: the magic close. False when the device cannot be
// opened (none on the board, or the application holds it and feeds it).
bool disarm();

}  // namespace watchdog
