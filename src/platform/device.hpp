// The device seam. The switch's code reaches its hardware (MTD flash
// partitions, I2C buses) only through these calls on device nodes. The linux
// backend is the system calls themselves; the sim backend, chosen at build
// time, models the switch's hardware behind the same calls.
#pragma once

#include <sys/types.h>

#include <cstddef>

#include "common/unique_fd.hpp"

namespace dev {

// `mode` is used only when the call creates a file (O_CREAT).
int open(const char* path, int flags, mode_t mode = 0);
int close(int fd);
int ioctl(int fd, unsigned long request, void* arg);
// For requests whose argument is a plain value (I2C_SLAVE takes the address).
int ioctl(int fd, unsigned long request, unsigned long value);
ssize_t read(int fd, void* buf, std::size_t count);
ssize_t write(int fd, const void* buf, std::size_t count);
ssize_t pread(int fd, void* buf, std::size_t count, off_t offset);
ssize_t pwrite(int fd, const void* buf, std::size_t count, off_t offset);
// Files on the flash file system: a write is on the flash once fsync has
// returned, and rename replaces the target whole or not at all.
int fsync(int fd);
int rename(const char* from, const char* to);

using UniqueFd = common::BasicUniqueFd<&dev::close>;

}  // namespace dev
