#include "hw/watchdog.hpp"

#include <fcntl.h>
#include <linux/watchdog.h>

#include "platform/device.hpp"

namespace watchdog {

namespace {

// The driver stops the count on a close only right after the magic
// character.
bool magic_close(dev::UniqueFd fd) {
    const bool fed = dev::write(fd.get(), "V", 1) == 1;
    return dev::close(fd.release()) == 0 && fed;
}

}  // namespace

bool arm(int seconds) {
    // The open starts the count; the descriptor is not handed on to the
    // application, which opens the device itself when it feeds it.
    dev::UniqueFd fd(dev::open(kDevice, O_WRONLY | O_CLOEXEC));
    if (!fd) return false;
    int timeout = seconds;
    if (dev::ioctl(fd.get(), WDIOC_SETTIMEOUT, &timeout) != 0 ||
        dev::ioctl(fd.get(), WDIOC_KEEPALIVE, nullptr) != 0) {
        magic_close(std::move(fd));
        return false;
    }
    // Closed without the magic character: the watchdog keeps counting.
    return dev::close(fd.release()) == 0;
}

bool disarm() {
    dev::UniqueFd fd(dev::open(kDevice, O_WRONLY | O_CLOEXEC));
    return fd && magic_close(std::move(fd));
}

}  // namespace watchdog
