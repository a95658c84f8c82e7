// The rescue menu on the serial console and its actions: a container
// downloaded over the serial line or taken from a USB stick and installed,
// the installed versions, the erase of /user and the diagnostics boot.
#pragma once

// Returns 1 when the operator leaves with E; every other way out reboots or
// starts an image.
int run_rescue_mode();

// Installs a file the operator picks on the stick at /mnt/usb; the
// installer's result, 0 when nothing was installed.
int run_usb_rescue();

// Receives a container over the console with the XMODEM receiver and
// installs it; the installer's result, 0 when nothing arrived.
int run_xmodem_rescue();

// Lists the versions of the installed images; returns 0.
int run_image_display();

// Shows the trial-boot record and the last events; returns 0.
int run_boot_state_display();

// Offers to erase /user, then boots the flash-resident diagnostics image.
// Returns 1, and only when that image cannot be booted.
int run_standalone_diags();
