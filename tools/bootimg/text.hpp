// printf-style formatting into a std::string, for the tool's messages.
#pragma once

#include <string>

namespace bootimg {

[[gnu::format(printf, 1, 2)]] std::string format(const char* fmt, ...);

}  // namespace bootimg
