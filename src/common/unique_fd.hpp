// RAII owners for descriptors and stdio streams.
#pragma once

#include <cstdio>
#include <memory>
#include <utility>

namespace common {

// Owns a descriptor opened through the device seam (or the C library) and
// closes it with the matching close.
template <int (*Close)(int)>
class BasicUniqueFd {
public:
    BasicUniqueFd() = default;
    explicit BasicUniqueFd(int fd) : fd_(fd) {}
    BasicUniqueFd(const BasicUniqueFd&) = delete;
    BasicUniqueFd& operator=(const BasicUniqueFd&) = delete;
    BasicUniqueFd(BasicUniqueFd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    BasicUniqueFd& operator=(BasicUniqueFd&& o) noexcept {
        if (this != &o) reset(std::exchange(o.fd_, -1));
        return *this;
    }
    ~BasicUniqueFd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1) {
        if (fd_ >= 0) Close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

struct FileCloser {
    void operator()(std::FILE* f) const {
        if (f) std::fclose(f);
    }
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

inline UniqueFile open_file(const char* path, const char* mode) {
    return UniqueFile(std::fopen(path, mode));
}

}  // namespace common
