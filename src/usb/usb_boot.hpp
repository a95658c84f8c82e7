// Booting from a USB stick: waiting for the stick, boot-loader and slot
// replacement from fixed file names on it, and the list of rejected images.
#pragma once

#include <cstdint>

// Set by start-up when the VPD asks for the USB path.
extern std::uint8_t usb_boot_enabled;

namespace usb {

inline constexpr int kBootFromStick = 3;
inline constexpr const char* kStickImageName = "TQV4410_OS.img";
inline constexpr const char* kStickImage = "/mnt/usb/TQV4410_OS.img";

}  // namespace usb

int usb_mount();
void usb_update_boot();
int usb_which_image();
int usb_is_image_rejected(const char* path);
void usb_add_image_to_reject_list(const char* path);
int yesno_question(const char* prompt);
