#include <unistd.h>

#include <cstdlib>

#include "platform/clock.hpp"
#include "platform/sim/sim_internal.hpp"

namespace platform {

namespace {

unsigned long divisor() {
    static const unsigned long d = [] {
        const char* s = std::getenv("BOOTLAUNCH_SIM_CLOCK");
        const unsigned long v = s ? std::strtoul(s, nullptr, 10) : 1;
        return v == 0 ? 1ul : v;
    }();
    return d;
}

}  // namespace

unsigned scale_ms(unsigned milliseconds) {
    return static_cast<unsigned>(milliseconds / divisor());
}

void pause_us(unsigned long microseconds) {
    ::usleep(static_cast<useconds_t>(microseconds / divisor()));
}

void pause_poll() {
    // A far end played in-process has a clock of its own: a poll advances it.
    if (sim::detail::advance_far_ends_ms(1)) return;
    ::usleep(1000);
}

void pause_s(unsigned seconds) {
    if (divisor() == 1) {
        ::sleep(seconds);
        return;
    }
    ::usleep(static_cast<useconds_t>(seconds * 1000000ul / divisor()));
}

}  // namespace platform

namespace sim::detail {

unsigned long clock_divisor() {
    return platform::divisor();
}

}  // namespace sim::detail
