// Text helpers for the switch's programs, which carry no exception support:
// std::string_view::substr throws for a position past the end, and one use
// of it links the exception runtime and its demangler into the launcher.
#pragma once

#include <cstddef>
#include <string_view>

namespace common {

// Bytes [pos, pos + n) of s, clipped to it; never throws.
inline std::string_view slice(std::string_view s, std::size_t pos,
                              std::size_t n = std::string_view::npos) {
    if (pos > s.size()) pos = s.size();
    if (n > s.size() - pos) n = s.size() - pos;
    return std::string_view(s.data() + pos, n);
}

}  // namespace common
