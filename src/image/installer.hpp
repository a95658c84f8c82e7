// The image installer: walks an image container front to back and installs
// each section where it belongs. Boot loader, kernel, root file system,
// device tree and diagnostics sections go to their flash partitions; an
// application section goes to image slot 1 or 2 (which then becomes the slot
// to boot), or is booted at once without being installed.
#pragma once

#include <cstdint>

namespace install {

inline constexpr const char* kSlotDir = "/user/images";
// Slot files are written in pieces of this size, with a percentage after
// each: the switch's JFFS2 is mounted with synchronous writes, so a large
// application takes a while.
inline constexpr std::uint32_t kSlotChunk = 0x10000;
// Free space JFFS2 keeps for its garbage collection (a few erase blocks),
// beyond which a slot's replacement is not written beside the old image.
inline constexpr std::uint64_t kFlashFsReserve = 5 * 0x10000;

// "/user/images/image1" or "/user/images/image2".
const char* slot_path(int slot);

// Reads the container at `path` once, in pieces, and checks that it is one:
// every section the installer would write is whole and passes its checksum,
// and (with `need_application`) one of them is an application. Otherwise
// says why in one line and returns false; nothing is written either way.
bool container_whole(const char* path, bool need_application);

// True when the installed copy of an image type (for the application: the
// slot's file) is a whole section whose checksum holds.
bool installed_copy_intact(std::uint32_t type, int slot);

}  // namespace install

// Installs every section of the container at `path`. With `skip_same` set, a
// section identical to the installed one is skipped. `slot` is the image slot
// for application sections, or 0 to ask the operator (who may also boot the
// application at once; then this does not return). Returns 1 when the end
// of the container was reached and something was installed, else 0.
int processTesselImage(const char* path, std::uint8_t skip_same, int slot);

// 1 when the stored header copy of the section's type matches the first 16
// bytes of `header` (for a boot loader only len, magic and id), else 0.
int verifyMatchingHeaders(const std::uint8_t* header, int slot);

// Zero-fills the 16-byte `header`, then fills it with the stored header copy
// of an image type (for the application: of image slot `slot`). 0 when
// `header` is null, the slot file cannot be opened or the type is unknown.
int read_flash_image_header(std::uint32_t type, std::uint8_t* header, int slot);
