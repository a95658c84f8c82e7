#include <unistd.h>

#include "platform/clock.hpp"

namespace platform {

void pause_us(unsigned long microseconds) {
    ::usleep(static_cast<useconds_t>(microseconds));
}
unsigned scale_ms(unsigned milliseconds) {
    return milliseconds;
}
void pause_s(unsigned seconds) {
    ::sleep(seconds);
}
void pause_poll() {
    ::usleep(1000);
}

}  // namespace platform
