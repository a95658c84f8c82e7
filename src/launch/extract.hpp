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

namespace signing {
struct Result;
}

namespace extract {

inline constexpr const char* kSlotPaths[] = {nullptr, "/user/images/image1", "/user/images/image2"};
inline constexpr const char* kArchive = "/tmp/lumeximage.tar.gz";

// What became of a container given to unpack().
enum class Unpacked {
    Written,    // the section's payload is in the archive
    NoSection,  // no application or diagnostics section was found
    Damaged,    // the section found fails its checksum or its sizes
    Unsigned,   // a signed container's section differs from what was checked
};

// The work of a boot between opening the container and starting the
// launch: finds the first application or diagnostics section in `in`, reads
// and checks the whole of it, and only then writes its payload to `out`.
// `header` receives the first 20 bytes of that section (or what
// parse_image leaves there when there is none). With `signed_by`, the
// container's signature check, the section must also be the one it listed.
Unpacked unpack(std::FILE* in, std::FILE* out, std::uint8_t header[image::kHeaderProbeSize],
                const signing::Result* signed_by = nullptr);

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
