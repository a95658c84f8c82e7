// The switch's fixed waits (1 s pauses, the EEPROM's 100 ms write time...).
// The production build sleeps for real; the simulator build may run them on
// a faster clock (BOOTLAUNCH_SIM_CLOCK=N divides every wait by N) so that
// end-to-end runs stay quick.
#pragma once

#include <time.h>

#include <cstdint>

namespace platform {

// Milliseconds of real time since some fixed point (the monotonic clock):
// for what the switch measures, such as a download's rate. Not scaled.
inline std::uint64_t now_ms() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::uint64_t>(t.tv_sec) * 1000u +
           static_cast<std::uint64_t>(t.tv_nsec) / 1000000u;
}

void pause_us(unsigned long microseconds);
void pause_s(unsigned seconds);
// A time-out of the switch (a poll) on the same clock as the waits.
unsigned scale_ms(unsigned milliseconds);
// The millisecond between two polls of a timed wait.
void pause_poll();

}  // namespace platform
