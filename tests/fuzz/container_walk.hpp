// What the fuzz targets hold the launcher's readers to, worked out here from
// the container format alone: the sections along the header chain, and which
// of them are whole and pass a CRC-32 check with zlib's routine (a stored
// checksum is the complement of zlib's value over the bytes after it).
#pragma once

#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <vector>

namespace fuzz {

inline std::uint32_t be32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
           static_cast<std::uint32_t>(p[2]) << 8 | p[3];
}

struct Section {
    std::size_t offset;
    std::uint32_t type;    // magic without the extended-header flag
    std::uint64_t header;  // payload offset
    std::uint64_t size;    // header + payload, without wrap-around
    bool good;             // whole inside the bytes, consistent, checksum holds

    std::span<const std::uint8_t> bytes(std::span<const std::uint8_t> all) const {
        return all.subspan(offset, size);
    }
    std::span<const std::uint8_t> payload(std::span<const std::uint8_t> all) const {
        return all.subspan(offset + header, size - header);
    }
};

// The chain from offset 0: each header probe is 20 bytes, the next section
// starts a section size (in the format's 32-bit arithmetic) further on, and
// the walk ends where a size would not carry it past the header.
inline std::vector<Section> walk(std::span<const std::uint8_t> data) {
    std::vector<Section> out;
    for (std::uint64_t o = 0; o + 20 <= data.size();) {
        const std::uint8_t* p = data.data() + o;
        const std::uint32_t len = be32(p + 4);
        const std::uint32_t magic = be32(p + 8);
        const bool extended = (magic & 0x80000000u) != 0;
        const std::uint64_t header = extended ? (std::uint64_t{p[18]} << 8 | p[19]) : 16;
        const std::uint64_t size = header + len;
        Section s{static_cast<std::size_t>(o), magic & 0x7FFFFFFFu, header, size, false};
        if (header >= (extended ? 20u : 16u) && size <= data.size() - o) {
            const auto crc =
                static_cast<std::uint32_t>(::crc32(0, p + 4, static_cast<uInt>(size - 4)));
            s.good = be32(p) == static_cast<std::uint32_t>(~crc);
        }
        out.push_back(s);
        const auto size32 = static_cast<std::uint32_t>(size);
        if (size32 == 0 || size32 < header) break;
        o += size32;
    }
    return out;
}

// Runs `body` in a child process, for a path that ends the process (a boot
// that finds no application and reboots). Returns true when the child left
// through exit(), false when `body` returned; anything else (a crash, a
// sanitizer report) is a finding.
template <typename Body>
bool ends_the_process(Body body) {
    constexpr int kExited = 97;
    constexpr int kReturned = 98;
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) std::abort();
    if (pid == 0) {
        // Runs before the fuzzer's own exit handler, which would report it.
        std::atexit([] { ::_exit(kExited); });
        body();
        ::_exit(kReturned);
    }
    int status = 0;
    // The fuzzer's time-out alarm, taken without SA_RESTART, may break the wait.
    pid_t waited;
    do {
        waited = ::waitpid(pid, &status, 0);
    } while (waited < 0 && errno == EINTR);
    if (waited != pid || !WIFEXITED(status)) std::abort();
    if (WEXITSTATUS(status) == kExited) return true;
    if (WEXITSTATUS(status) == kReturned) return false;
    std::abort();
}

}  // namespace fuzz
