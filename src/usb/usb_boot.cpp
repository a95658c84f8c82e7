// The USB path is not built yet: each operation says so on the console and
// answers as if no stick were there, so that the start-up goes on with the
// flash images.
#include "usb/usb_boot.hpp"

#include <cstdio>

std::uint8_t usb_boot_enabled = 0;

namespace {

void not_built(const char* what) {
    std::printf("%s: not built yet.\n", what);
}

}  // namespace

int usb_mount() {
    if (!usb_boot_enabled) return 0;
    not_built("USB boot");
    return -1;
}

void usb_update_boot() {
    not_built("USB boot-loader update");
}

int usb_which_image() {
    not_built("USB image replacement");
    return 0;
}

int usb_is_image_rejected(const char*) {
    return 0;
}

void usb_add_image_to_reject_list(const char*) {}

int yesno_question(const char* prompt) {
    std::fputs(prompt, stdout);
    std::puts("");
    not_built("USB question");
    return 0;
}
