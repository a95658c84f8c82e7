// Production backend of the device seam: nothing but the system calls.
#include <fcntl.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "platform/device.hpp"

namespace dev {

int open(const char* path, int flags, mode_t mode) {
    return ::open(path, flags, mode);
}
int close(int fd) {
    return ::close(fd);
}
int ioctl(int fd, unsigned long request, void* arg) {
    return ::ioctl(fd, request, arg);
}
int ioctl(int fd, unsigned long request, unsigned long value) {
    return ::ioctl(fd, request, value);
}
ssize_t read(int fd, void* buf, std::size_t count) {
    return ::read(fd, buf, count);
}
ssize_t write(int fd, const void* buf, std::size_t count) {
    return ::write(fd, buf, count);
}
ssize_t pread(int fd, void* buf, std::size_t count, off_t offset) {
    return ::pread(fd, buf, count, offset);
}
ssize_t pwrite(int fd, const void* buf, std::size_t count, off_t offset) {
    return ::pwrite(fd, buf, count, offset);
}

int fsync(int fd) {
    return ::fsync(fd);
}
int rename(const char* from, const char* to) {
    return ::rename(from, to);
}

}  // namespace dev
