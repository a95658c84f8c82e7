// The switch's event log: one line per install, trial start, confirmation,
// rollback, checksum failure and notable power-on, on the flash file system
// beside the image slots. Each line carries its own checksum, so a line that
// a power cut tore (or any foreign bytes) is never shown; the log is capped,
// dropping its oldest lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "common/text.hpp"

namespace events {

inline constexpr const char* kLogPath = "/user/images/events";
inline constexpr std::size_t kMaxLine = 160;  // text of one event, at most
// Past this size the log is rewritten with its newest lines, to half of it.
inline constexpr std::size_t kCap = 16384;

// Adds one event (text without a line end; longer texts are cut). The line's
// number follows the last good line's. False when it could not be written.
bool append(std::string_view text);

// Calls each(number, text) for every intact line of a log's bytes, oldest
// first. A line is "cccccccc nnnnnn text": the CRC-32 of "nnnnnn text" as
// eight hex digits, the line's number and the text.
template <typename Each>
void for_each(std::span<const std::uint8_t> log, Each each);

// Prints the last `count` events, one per line, to standard output; false
// when there is no log.
bool print_last(std::size_t count);

namespace detail {
using common::slice;
// The number and text of one line (without its end), or false when it is
// not an intact line.
bool parse_line(std::string_view line, std::uint32_t& number, std::string_view& text);
}  // namespace detail

template <typename Each>
void for_each(std::span<const std::uint8_t> log, Each each) {
    const std::string_view all(reinterpret_cast<const char*>(log.data()), log.size());
    std::size_t pos = 0;
    while (pos < all.size()) {
        std::size_t end = all.find('\n', pos);
        // A last line without its end is one that a power cut tore.
        if (end == std::string_view::npos) return;
        std::uint32_t number = 0;
        std::string_view text;
        if (detail::parse_line(detail::slice(all, pos, end - pos), number, text))
            each(number, text);
        pos = end + 1;
    }
}

}  // namespace events
