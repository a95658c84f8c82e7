// Extraction of the application from an image slot (or the USB image): the
// first application or diagnostics section of the container is checked and
// its payload written as the application archive for the launch.
#pragma once

#include <cstdint>
#include <cstdio>

#include "image/container.hpp"

// Set by start-up before it tries the alternate slot: from then on a bad
// slot ends the boot here instead of being reported back.
extern std::uint8_t tried_alt_image;

namespace extract {

inline constexpr const char* kSlotPaths[] = {nullptr, "/user/images/image1", "/user/images/image2"};
inline constexpr const char* kArchive = "/tmp/lumeximage.tar.gz";

}  // namespace extract

// Checks and starts the image of the given code (1, 2: slots; 3: USB
// image). Does not return when the image starts; returns 0 when the caller
// is to try something else.
int extract_image(int code);

// Scans the container from its start for the first application or
// diagnostics section. Returns 1 with the stream at that section's first
// byte and `header` holding its first 20 bytes, or 0 when there is none
// (then `header` holds the last complete header read, or zeros).
int parse_image(std::FILE* stream, std::uint8_t header[image::kHeaderProbeSize]);

namespace extract {

enum class Archive { NoSection, Damaged, Written };

// The check at the heart of extraction: scans `in` with parse_image (which
// leaves `header` as it describes), reads the section found whole, checks it
// and writes its payload to `out`. Nothing is written unless the section is
// whole and its checksum holds.
Archive write_archive(std::FILE* in, std::FILE* out, std::uint8_t header[image::kHeaderProbeSize]);

}  // namespace extract
