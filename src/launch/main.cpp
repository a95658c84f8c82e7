// bootlaunch: the switch's boot-time launcher.
//
// What stands so far is the hardware bring-up of the start-up: the I2C buses
// with the VPD EEPROM, the flash partitions and the boot-loader settings.
// The boot path itself (slot choice, extraction, launch) comes next; until
// then the program reports what it found and leaves.
#include <cstdio>

#include "hw/flash.hpp"
#include "hw/i2c.hpp"
#include "launch/settings.hpp"

int main() {
    api_i2c_init();
    api_flash_init();
    parse_uboot_env();
    std::printf("Boot slot byte %d, USB boot flag 0x%02x\n", api_get_image(), api_get_usbboot());
    std::printf("Settings: gdb=%d gdbserver=%d gdbport=%d shell=%d memchk=%d rescue=%d diags=%d\n",
                gdb_enable, gdbserver_enable, gdbport, shell_enable, memchk_enable, rescue_enable,
                standalone_diags);
    std::puts("The boot path is not built yet.");
    return 0;
}
