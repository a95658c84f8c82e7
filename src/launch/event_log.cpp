#include "launch/event_log.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "common/unique_fd.hpp"
#include "image/crc.hpp"
#include "platform/device.hpp"

namespace events {

namespace {

constexpr const char* kNewLog = "/user/images/events.new";
constexpr std::size_t kNumberDigits = 6;
constexpr std::size_t kLineSize = 8 + 1 + kNumberDigits + 1 + kMaxLine + 1;

// The whole log as it is on the flash (at most twice the cap: what is
// beyond was never written by this launcher and is not read).
struct Contents {
    std::unique_ptr<std::uint8_t[]> bytes;
    std::size_t size = 0;
    std::span<const std::uint8_t> span() const { return {bytes.get(), size}; }
};

Contents read_log() {
    Contents c;
    common::UniqueFile f(std::fopen(kLogPath, "rb"));
    if (!f) return c;
    constexpr std::size_t kMaxRead = 2 * kCap;
    c.bytes.reset(new (std::nothrow) std::uint8_t[kMaxRead]);
    if (!c.bytes) return c;
    c.size = std::fread(c.bytes.get(), 1, kMaxRead, f.get());
    return c;
}

bool hex_digit(char c, std::uint32_t& value) {
    if (c >= '0' && c <= '9') value = static_cast<std::uint32_t>(c - '0');
    else if (c >= 'a' && c <= 'f') value = static_cast<std::uint32_t>(c - 'a' + 10);
    else return false;
    return true;
}

// Writes all of `data` through the seam.
bool write_all(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = dev::write(fd, data, size);
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

std::size_t format_line(char (&line)[kLineSize], std::uint32_t number, std::string_view text) {
    text = detail::slice(text, 0, kMaxLine);
    char body[kNumberDigits + 1 + kMaxLine + 1];
    const int n = std::snprintf(body, sizeof body, "%06u %.*s", number % 1000000u,
                                static_cast<int>(text.size()), text.data());
    const auto length = static_cast<std::uint32_t>(n);
    const std::uint32_t crc =
        image::crc_of(std::span(reinterpret_cast<const std::uint8_t*>(body), length));
    return static_cast<std::size_t>(
        std::snprintf(line, sizeof line, "%08x %s\n", static_cast<unsigned>(crc), body));
}

// The log's newest lines, at most half the cap, written beside it and
// renamed over it: a power cut leaves the old log or the new one.
bool rewrite_with(const Contents& old, const char* line, std::size_t line_size) {
    const auto* b = reinterpret_cast<const char*>(old.bytes.get());
    // A torn last line is left behind; then whole lines back from the end
    // while they fit.
    std::size_t end = old.size;
    while (end > 0 && b[end - 1] != '\n') --end;
    std::size_t from = end;
    while (from > 0) {
        std::size_t start = from - 1;
        while (start > 0 && b[start - 1] != '\n') --start;
        if ((end - start) + line_size > kCap / 2) break;
        from = start;
    }
    dev::UniqueFd out(dev::open(kNewLog, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!out) return false;
    if (end > from && !write_all(out.get(), b + from, end - from)) return false;
    if (!write_all(out.get(), line, line_size) || dev::fsync(out.get()) != 0) return false;
    if (dev::close(out.release()) != 0) return false;
    return dev::rename(kNewLog, kLogPath) == 0;
}

}  // namespace

namespace detail {

bool parse_line(std::string_view line, std::uint32_t& number, std::string_view& text) {
    if (line.size() < 8 + 1 + kNumberDigits + 1 || line[8] != ' ' || line[9 + kNumberDigits] != ' ')
        return false;
    std::uint32_t crc = 0;
    for (std::size_t i = 0; i < 8; ++i) {
        std::uint32_t d = 0;
        if (!hex_digit(line[i], d)) return false;
        crc = crc << 4 | d;
    }
    const std::string_view body = slice(line, 9);
    if (image::crc_of(std::span(reinterpret_cast<const std::uint8_t*>(body.data()), body.size())) !=
        crc)
        return false;
    number = 0;
    for (std::size_t i = 0; i < kNumberDigits; ++i) {
        const char c = body[i];
        if (c < '0' || c > '9') return false;
        number = number * 10 + static_cast<std::uint32_t>(c - '0');
    }
    text = slice(body, kNumberDigits + 1);
    return true;
}

}  // namespace detail

bool append(std::string_view text) {
    const Contents old = read_log();
    std::uint32_t last = 0;
    for_each(old.span(), [&last](std::uint32_t number, std::string_view) { last = number; });
    char line[kLineSize];
    const std::size_t size = format_line(line, last + 1, text);

    if (old.size + size > kCap) return rewrite_with(old, line, size);

    ::mkdir("/user/images", 0777);
    dev::UniqueFd out(dev::open(kLogPath, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    if (!out) return false;
    // A line that a power cut tore has no end: this one starts afresh.
    if (old.size > 0 && old.bytes[old.size - 1] != '\n' && !write_all(out.get(), "\n", 1))
        return false;
    if (!write_all(out.get(), line, size) || dev::fsync(out.get()) != 0) return false;
    return dev::close(out.release()) == 0;
}

bool print_last(std::size_t count) {
    const Contents log = read_log();
    if (!log.bytes || log.size == 0) return false;
    std::size_t total = 0;
    for_each(log.span(), [&total](std::uint32_t, std::string_view) { ++total; });
    std::size_t index = 0;
    for_each(log.span(), [&](std::uint32_t number, std::string_view text) {
        if (index++ + count >= total)
            std::printf("%06u %.*s\n", number, static_cast<int>(text.size()), text.data());
    });
    return true;
}

}  // namespace events
