#include "files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/unique_fd.hpp"

namespace bootimg {

namespace {

using UniqueFd = common::BasicUniqueFd<&::close>;

std::string system_error(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + std::strerror(errno);
}

}  // namespace

bool read_whole_file(const std::string& path, std::vector<std::uint8_t>& out, std::string& error) {
    out.clear();
    common::UniqueFile f = common::open_file(path.c_str(), "rb");
    if (!f) {
        error = system_error("cannot open", path);
        return false;
    }
    std::uint8_t chunk[65536];
    for (;;) {
        const std::size_t n = std::fread(chunk, 1, sizeof chunk, f.get());
        out.insert(out.end(), chunk, chunk + n);
        if (n < sizeof chunk) break;
    }
    if (std::ferror(f.get())) {
        error = system_error("cannot read", path);
        return false;
    }
    // An exact-size buffer: under AddressSanitizer a read past the end of the
    // file is then a read past the end of the allocation, and is caught.
    out.shrink_to_fit();
    return true;
}

bool write_file_atomically(const std::string& path, std::span<const std::uint8_t> data,
                           std::string& error) {
    std::string temp = path + ".XXXXXX";
    UniqueFd fd(::mkstemp(temp.data()));
    if (!fd) {
        error = system_error("cannot create a temporary file for", path);
        return false;
    }
    // mkstemp makes the file private; give it the permissions a plain create
    // would have (0666 less the umask).
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd.get(), 0666 & ~mask);

    auto fail = [&](const std::string& message) {
        error = message;
        fd.reset();
        ::unlink(temp.c_str());
        return false;
    };
    const std::uint8_t* p = data.data();
    std::size_t left = data.size();
    while (left > 0) {
        const ssize_t n = ::write(fd.get(), p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return fail(system_error("cannot write", temp));
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    if (::fsync(fd.get()) != 0) return fail(system_error("cannot flush", temp));
    if (::close(fd.release()) != 0) return fail(system_error("cannot close", temp));
    if (::rename(temp.c_str(), path.c_str()) != 0)
        return fail(system_error("cannot rename " + temp + " to", path));
    return true;
}

}  // namespace bootimg
