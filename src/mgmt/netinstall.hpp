// Installing an image over the management port: the rescue menu's network
// install, and zero-touch install for a switch that finds no bootable image.
// Both fetch the container into /tmp/image, the switch's RAM, as a serial
// download does, check it whole and hand it to the installer.
#pragma once

#include <cstddef>

namespace netinstall {

// Where the switch's dhclient keeps its leases.
inline constexpr const char* kLeaseFile = "/var/lib/dhcp/dhclient.leases";
inline constexpr const char* kDownload = "/tmp/image";
inline constexpr const char* kInterface = "eth0";
// Zero-touch: the countdown before an offered installer is fetched, and the
// waits between tries when none is offered or the server is not there
// (doubled after each failed try up to the last), in seconds on the
// switch's clock.
inline constexpr unsigned kCountdownS = 10;
inline constexpr unsigned kFirstRetryS = 10;
inline constexpr unsigned kLastRetryS = 300;

// The image location that the last DHCP answer in `lease_text` (a dhclient
// lease file) offered: its "default URL" (option 114), or
// tftp://SERVER/FILE from the TFTP server name and boot file name (options
// 66 and 67, or the BOOTP file name). False when it offered none.
bool offered_location(const char* lease_text, char* out, std::size_t size);

// True when the switch has a management port (eth0) at all.
bool port_present();

// Zero-touch, for a start that found no bootable image: when "zerotouch=on"
// asks for it, asks the management network for an installer (DHCP), counts
// down, fetches, checks and installs it into slot 1 and reboots into it (no
// return); otherwise, or when the operator pressed a key, returns and the
// caller offers the rescue menu, during which zero_touch_tick keeps trying.
// False, and nothing done, when the settings do not ask for it or the switch
// has no management port (which it then says).
bool zero_touch_start();

// For the rescue menu while it waits for a key: another try when one is due.
// True when it printed something (the menu's prompt is then shown again).
bool zero_touch_tick();

// True while zero-touch is trying (the menu then waits for keys in slices).
bool zero_touch_active();

// The operator took over: zero-touch stops trying for this start.
void zero_touch_stop(const char* why);

}  // namespace netinstall

// The rescue menu's network install: the management port's set-up (the same
// questions as ever), the image's location (the DHCP server's offer as the
// default), the download, the check and the installer as for a serial
// download. The installer's result, or 0 when nothing was installed.
int run_network_install();
