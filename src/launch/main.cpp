// bootlaunch: the switch's boot-time launcher. The start-up scripts run it
// once on the serial console; it never returns to them in an orderly way:
// every path ends in the application's start or in a reboot.
#include <cstdio>
#include <cstdlib>

#include "hw/flash.hpp"
#include "hw/i2c.hpp"
#include "launch/boot_state.hpp"
#include "launch/extract.hpp"
#include "launch/settings.hpp"
#include "launch/startup.hpp"
#include "rescue/rescue.hpp"
#include "usb/usb_boot.hpp"
#ifdef BOOTLAUNCH_SIM
#include "platform/sim/sim.hpp"
#endif

int main() {
#ifdef BOOTLAUNCH_SIM
    // The simulator build runs the switch's own commands ("reboot" among
    // them) and must never do so on the PC itself: only inside the board.
    if (!std::getenv("BOOTLAUNCH_SIM_BOARD")) {
        std::fputs(
            "bootlaunch (simulator build) runs only inside the simulated switch: "
            "board-sim boot DIR\n",
            stderr);
        return 1;
    }
#endif
    startup::claim_standard_descriptors();
    sig_init();
    startup::ignore_console_signals();
    api_i2c_init();
    api_flash_init();
#ifdef BOOTLAUNCH_SIM
    // The simulator has its settings now; the switch's commands and the
    // application must not see them, as nothing of the kind exists on the
    // switch.
    sim::adopt_environment();
#endif
    parse_uboot_env();
    startup::run_shell("/bin/mount -o sync -t jffs2 /dev/mtd-user /user");
    startup::run_shell("/usr/bin/find /user > /dev/null");

    // The boot loader's "diagnostics=" drives both; at most one is set.
    if (rescue_enable) run_rescue_mode();
    if (standalone_diags) run_standalone_diags();

    usb_boot_enabled = api_get_usbboot() == vpd::kUsbBootEnabled ? 1 : 0;
    if (usb_boot_enabled && usb_mount() < 0) usb_boot_enabled = 0;

    int code = 0;
    if (usb_boot_enabled) {
        usb_update_boot();
        code = usb_which_image();
        if (code == usb::kBootFromStick) {
            std::printf("Booting image '%s' from USB stick.\n", usb::kStickImageName);
            // A successful extraction does not come back at all.
            if (extract_image(usb::kBootFromStick) != 0) board_reset();
            std::puts("USB Boot failed. Trying flash images.");
            code = 0;
        }
    }
    if (code == 0) code = which_image();
    if (code == 1 || code == 2) {
        code = bootstate::choose_slot(code);
        if (code == 0) {
            // Both images were given up: no boot loop. An operator who
            // leaves the menu boots the boot slot as it is.
            run_rescue_mode();
            bootstate::operator_override();
            code = which_image();
        }
    }

    std::printf("Booting image '%d'\n", code);
    if (extract_image(code) == 0) {
        const int alt = startup::alternate_slot(code);
        std::printf("Booting image '%d'\n", alt);
        tried_alt_image = 1;
        extract_image(alt);
    }
    board_reset();
}
