// VPD EEPROM access over the board's two I2C buses.
//
// Bus 0 carries the VPD EEPROM (0x54, 16-bit offsets). Its write-protect pin
// is driven by the I/O expander on bus 1 (0x20), so every byte write is
// preceded by a write-enable step there.
#pragma once

#include <cstdint>

namespace vpd {

inline constexpr std::uint16_t kBootSlot = 256;     // image slot to boot: 1 or 2
inline constexpr std::uint16_t kBootedImage = 314;  // 1, 2 slot; 3 USB; 4 flash image
inline constexpr std::uint16_t kUsbBoot = 315;      // 0xD5 enables USB boot
inline constexpr std::uint8_t kUsbBootEnabled = 0xD5;

inline constexpr std::uint8_t kEepromAddress8 = 0xA8;  // 0x54 in 7-bit form
inline constexpr std::uint8_t kExpanderAddress = 0x20;
inline constexpr std::uint8_t kExpanderInputPort4 = 4;
inline constexpr std::uint8_t kExpanderOutputPort4 = 12;
inline constexpr std::uint8_t kWriteProtectBit = 0x08;
// The part needs this long to store a byte before it answers again.
inline constexpr unsigned long kWriteTimeUs = 100000;

}  // namespace vpd

int api_i2c_init();
int api_i2c_close();
int api_get_image();
int api_set_image(std::uint8_t slot);
int api_set_booted_image(std::uint8_t image);
int api_get_usbboot();
int api_eeprom_read(std::uint8_t* buffer, std::uint16_t offset, std::uint32_t length);
int api_ubootenv_read(std::uint8_t* buffer, std::uint16_t offset, std::uint32_t length);

// Workers of the operations above.
int i2c_read(int bus, std::uint8_t device, std::uint16_t offset, std::uint32_t length,
             int offset_width, std::uint8_t* buffer);
int get_vpd_offset(std::uint16_t offset, std::uint32_t length, std::uint8_t* buffer);
int set_vpd_offset(std::uint16_t offset, std::uint8_t value);
int i2c_smbus_access(int handle, char read_write, std::uint8_t command, int size, void* data);
int i2c_smbus_read_byte_data(int handle, std::uint8_t reg);
int i2c_smbus_write_byte_data(int handle, std::uint8_t reg, std::uint8_t value);
