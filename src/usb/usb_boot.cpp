#include "usb/usb_boot.hpp"

#include <poll.h>
#include <stdio_ext.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>

#include "common/unique_fd.hpp"
#include "image/installer.hpp"
#include "launch/startup.hpp"
#include "platform/clock.hpp"

std::uint8_t usb_boot_enabled = 0;

namespace {

constexpr const char* kMounted = "/tmp/usb";
constexpr const char* kBootImage = "/mnt/usb/TQV4410_Boot.img";
constexpr const char* kDigestFile = "/tmp/img_md5string";
constexpr const char* kRejectedDir = "/user/images/rejected";
constexpr int kMountLooks = 10;
constexpr unsigned kAnswerWaitMs = 5000;
constexpr std::size_t kDigestLength = 32;

struct Replacement {
    int slot;
    const char* name;
    const char* path;
    const char* found;
    const char* replaced;
};

// Slot 2 first, then slot 1: when both are replaced, slot 1 boots.
constexpr Replacement kReplacements[] = {
    {2, "TQV4410_replace2_OS.img", "/mnt/usb/TQV4410_replace2_OS.img",
     "USB image (file '%s') replacement for image2 found\n",
     "Image2 has been successfully replaced"},
    {1, "TQV4410_replace1_OS.img", "/mnt/usb/TQV4410_replace1_OS.img",
     "USB image (file '%s') replacement for image1 found\n",
     "Image1 has been successfully replaced"},
};

bool is_hex_digest(const char* text) {
    for (std::size_t i = 0; i < kDigestLength; ++i)
        if (!std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
    return true;
}

// The marker of an image on the rejected list, by its digest.
bool marker_path(const char* image, char* out, std::size_t size) {
    char digest[kDigestLength + 1];
    if (!get_md5string(image, digest)) return false;
    std::snprintf(out, size, "%s/%s", kRejectedDir, digest);
    return true;
}

}  // namespace

int get_md5string(const char* path, char* digest) {
    char command[512];
    const int n =
        std::snprintf(command, sizeof command, "/bin/busybox md5sum %s > %s", path, kDigestFile);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof command) return 0;
    startup::run_shell(command);
    common::UniqueFile f(std::fopen(kDigestFile, "r"));
    if (!f) return 0;
    if (std::fread(digest, 1, kDigestLength, f.get()) != kDigestLength) return 0;
    digest[kDigestLength] = '\0';
    // The digest becomes a file name: anything but hexadecimal (an error
    // text, say) is no digest.
    return is_hex_digest(digest) ? 1 : 0;
}

int usb_is_image_rejected(const char* path) {
    char marker[128];
    if (!marker_path(path, marker, sizeof marker)) {
        std::puts("Warning: Cannot determine if image is in rejected list!");
        return 0;
    }
    return startup::exists(marker) ? 1 : 0;
}

void usb_add_image_to_reject_list(const char* path) {
    char marker[128];
    if (!marker_path(path, marker, sizeof marker)) {
        std::puts("Warning: Cannot add image to rejected list!");
        return;
    }
    if (startup::exists(marker)) return;
    startup::run_shell("mkdir -p /user/images/rejected");
    char command[160];
    std::snprintf(command, sizeof command, "touch %s", marker);
    startup::run_shell(command);
}

int yesno_question(const char* prompt) {
    std::fputs(prompt, stdout);
    for (;;) {
        std::printf("(y/n) ");
        std::fflush(stdout);
        __fpurge(stdin);
        pollfd console{STDIN_FILENO, POLLIN, 0};
        // A Ctrl-C that breaks the wait off counts as no answer.
        if (::poll(&console, 1, static_cast<int>(platform::scale_ms(kAnswerWaitMs))) <= 0) {
            std::printf("\nTimeout. Assuming \"no\".");
            std::fflush(stdout);
            return 0;
        }
        char key = 0;
        const ssize_t got = ::read(STDIN_FILENO, &key, 1);
        if (got != 1) {
            // A console that has gone away would answer every poll at
            // once with nothing: that is no answer either.
            if (console.revents & (POLLHUP | POLLERR | POLLNVAL)) return 0;
            continue;
        }
        if (key == 'y') return 1;
        if (key == 'n') return 0;
    }
}

int usb_mount() {
    if (!usb_boot_enabled) return 0;
    std::printf(
        "Attempting to mount file system on USB flash drive; this can take up to %d seconds.\n",
        kMountLooks);
    std::fflush(stdout);
    platform::pause_s(1);
    for (int look = 0; look < kMountLooks; ++look) {
        if (startup::exists(kMounted)) {
            std::puts("USB mounted and ready!");
            return 0;
        }
        std::printf(".");
        std::fflush(stdout);
        platform::pause_s(1);
    }
    std::puts("USB mount timed out");
    return -1;
}

void usb_update_boot() {
    if (!startup::exists(kBootImage)) {
        std::puts("No boot image found on USB.");
        return;
    }
    std::puts("Boot image found on USB.");
    if (processTesselImage(kBootImage, 1, 0) != 0) board_reset();
}

int usb_which_image() {
    int result = 0;
    for (const Replacement& r : kReplacements) {
        if (!startup::exists(r.path)) continue;
        std::printf(r.found, r.name);
        if (usb_is_image_rejected(r.path)) {
            if (!yesno_question("Replacement USB image is in rejected list.\nWould you still like "
                                "to load it? "))
                return 0;
            std::puts("Continuing with replacement USB image...");
        }
        if (processTesselImage(r.path, 1, r.slot) != 0) {
            std::puts(r.replaced);
            result = r.slot;
        }
    }
    if (result != 0) {
        std::printf("USB replacement image: board will boot with image%d.\n", result == 1 ? 1 : 2);
        return result;
    }
    if (startup::exists(usb::kStickImage)) return usb::kBootFromStick;
    std::puts("No valid image found on USB");
    return 0;
}
