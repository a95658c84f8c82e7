// Just enough JSON output for bootimg list --json.
#pragma once

#include <string>
#include <string_view>

namespace bootimg {

// `text` as a JSON string literal, quotes included. File names are whatever
// bytes the file system holds: bytes that are not valid UTF-8 become U+FFFD so
// that the document stays valid.
std::string json_string(std::string_view text);

}  // namespace bootimg
