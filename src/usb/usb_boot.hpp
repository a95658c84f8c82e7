// Booting from a USB stick: waiting for the stick, boot-loader and slot
// replacement from fixed file names on it, booting the image on the stick,
// and the list of rejected images, kept on /user across starts.
#pragma once

#include <cstdint>

// Set by start-up when the VPD asks for the USB path.
extern std::uint8_t usb_boot_enabled;

namespace usb {

inline constexpr int kBootFromStick = 3;
inline constexpr const char* kStickImageName = "TQV4410_OS.img";
inline constexpr const char* kStickImage = "/mnt/usb/TQV4410_OS.img";

}  // namespace usb

// 0 when the stick is ready (or the USB path is off), -1 when it did not
// appear within 10 looks a second apart.
int usb_mount();

// Installs the boot image on the stick, if there is one, and reboots when
// that installed something.
void usb_update_boot();

// Installs the replacement slot images on the stick. 0: nothing to boot
// from the stick; 1, 2: boot that slot; 3: boot the stick's image file.
int usb_which_image();

// 1 when an image with this file's content is on the rejected list.
int usb_is_image_rejected(const char* path);
void usb_add_image_to_reject_list(const char* path);

// Asks until y or n arrives, each wait up to 5 s: 1 for y, 0 for n or no
// answer in time.
int yesno_question(const char* prompt);

// The file's MD5 digest as 32 hexadecimal characters and a NUL in `digest`
// (33 bytes); 0 when there is none.
int get_md5string(const char* path, char* digest);
