#include "hw/i2c.hpp"

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstdio>

#include "platform/clock.hpp"
#include "platform/device.hpp"

namespace {

// Bus handles by bus number: 0 before the buses are opened and after they
// are closed, negative when the open failed.
int i2c_file[2] = {0, 0};

// A handle that was never opened (0) must not reach the system: descriptor 0
// is the console, and a transfer on it would write the offset bytes there.
bool usable(int handle) {
    return handle > 0;
}

int select_device(int handle, unsigned long address7) {
    if (!usable(handle)) {
        errno = EBADF;
        return -1;
    }
    return dev::ioctl(handle, I2C_SLAVE, address7);
}

}  // namespace

int api_i2c_init() {
    for (int bus = 0; bus < 2; ++bus) {
        char path[32];
        std::snprintf(path, sizeof path, "/dev/i2c-%d", bus);
        // Nothing the launcher starts needs the buses (see flash.cpp).
        i2c_file[bus] = dev::open(path, O_RDWR | O_CLOEXEC);
        if (i2c_file[bus] < 0) {
            std::printf("ERROR: driver %s couldn't be opened\n", path);
            return -1;
        }
    }
    return 0;
}

int api_i2c_close() {
    for (int& handle : i2c_file) {
        if (handle > 0) dev::close(handle);
        handle = 0;
    }
    return 0;
}

int i2c_smbus_access(int handle, char read_write, std::uint8_t command, int size, void* data) {
    i2c_smbus_ioctl_data args{};
    args.read_write = static_cast<std::uint8_t>(read_write);
    args.command = command;
    args.size = static_cast<std::uint32_t>(size);
    args.data = static_cast<i2c_smbus_data*>(data);
    return dev::ioctl(handle, I2C_SMBUS, &args);
}

int i2c_smbus_read_byte_data(int handle, std::uint8_t reg) {
    i2c_smbus_data data{};
    if (i2c_smbus_access(handle, I2C_SMBUS_READ, reg, I2C_SMBUS_BYTE_DATA, &data) != 0) return -1;
    return data.byte;
}

int i2c_smbus_write_byte_data(int handle, std::uint8_t reg, std::uint8_t value) {
    i2c_smbus_data data{};
    data.byte = value;
    return i2c_smbus_access(handle, I2C_SMBUS_WRITE, reg, I2C_SMBUS_BYTE_DATA, &data);
}

int i2c_read(int bus, std::uint8_t device, std::uint16_t offset, std::uint32_t length,
             int offset_width, std::uint8_t* buffer) {
    std::uint8_t offset_bytes[2];
    std::size_t offset_count = 0;
    if (offset_width == 2) {
        offset_bytes[0] = static_cast<std::uint8_t>(offset >> 8);
        offset_bytes[1] = static_cast<std::uint8_t>(offset & 0xFF);
        offset_count = 2;
    } else if (offset_width != 0) {
        offset_bytes[0] = static_cast<std::uint8_t>(offset & 0xFF);
        offset_count = 1;
    }
    const int handle = i2c_file[bus & 1];

    if (select_device(handle, device >> 1) < 0) {
        std::printf("I2C error when setting bus %d, device 0x%x: %d\n", bus, device, errno);
        return 0;
    }
    if (offset_count > 0 && dev::write(handle, offset_bytes, offset_count) < 0) {
        std::printf("I2C error - device 0x%x writing bus %d offset %d: %d\n", device, bus, offset,
                    errno);
        return 0;
    }
    const ssize_t got = dev::read(handle, buffer, length);
    if (got != static_cast<ssize_t>(length)) {
        std::printf("I2C error - device 0x%x @ %d, %d bytes : %d\n", device, offset,
                    static_cast<int>(length), errno);
        return 0;
    }
    return 1;
}

int get_vpd_offset(std::uint16_t offset, std::uint32_t length, std::uint8_t* buffer) {
    return i2c_read(0, vpd::kEepromAddress8, offset, length, 2, buffer);
}

int set_vpd_offset(std::uint16_t offset, std::uint8_t value) {
    // Write-enable: drive the EEPROM's write-protect line low through the
    // expander. Its outcome is not checked: the EEPROM write is tried anyway.
    const int expander = i2c_file[1];
    if (usable(expander)) {
        dev::ioctl(expander, I2C_SLAVE, static_cast<unsigned long>(vpd::kExpanderAddress));
        int pins = i2c_smbus_read_byte_data(expander, vpd::kExpanderInputPort4);
        if (pins < 0) pins = 0xFF;
        i2c_smbus_write_byte_data(expander, vpd::kExpanderOutputPort4,
                                  static_cast<std::uint8_t>(pins & ~vpd::kWriteProtectBit));
    }

    const int eeprom = i2c_file[0];
    const int selected = select_device(eeprom, vpd::kEepromAddress8 >> 1);
    if (selected < 0) {
        std::printf("I2C error when setting bus %d: %d\n", 0, errno);
        return selected;
    }
    const std::uint8_t message[3] = {static_cast<std::uint8_t>(offset >> 8),
                                     static_cast<std::uint8_t>(offset & 0xFF), value};
    const ssize_t written = dev::write(eeprom, message, sizeof message);
    const int error = errno;
    platform::pause_us(vpd::kWriteTimeUs);
    if (written < 0) std::printf("I2C error when writing bus %d offset %d: %d\n", 0, offset, error);
    return static_cast<int>(written);
}

int api_get_image() {
    std::uint8_t value = 0;
    get_vpd_offset(vpd::kBootSlot, 1, &value);
    return value;
}

int api_get_usbboot() {
    std::uint8_t value = 0;
    get_vpd_offset(vpd::kUsbBoot, 1, &value);
    return value;
}

int api_set_image(std::uint8_t slot) {
    return set_vpd_offset(vpd::kBootSlot, slot);
}

int api_set_booted_image(std::uint8_t image) {
    return set_vpd_offset(vpd::kBootedImage, image);
}

int api_eeprom_read(std::uint8_t* buffer, std::uint16_t offset, std::uint32_t length) {
    return get_vpd_offset(offset, length, buffer);
}

int api_ubootenv_read(std::uint8_t* buffer, std::uint16_t, std::uint32_t) {
    return i2c_read(0, 0, 0, 0, 0, buffer);
}
