// Whole-file input and output for the container tool. Containers are tens of
// megabytes at most, so they are handled in memory.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace bootimg {

// Reads all of `path` into `out`. On failure returns false and puts a message
// naming the file and the system error into `error`.
bool read_whole_file(const std::string& path, std::vector<std::uint8_t>& out, std::string& error);

// Writes `data` to a temporary file beside `path`, then renames it over
// `path`: a failure part way leaves no half-written file under that name.
bool write_file_atomically(const std::string& path, std::span<const std::uint8_t> data,
                           std::string& error);

}  // namespace bootimg
