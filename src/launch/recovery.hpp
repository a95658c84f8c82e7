// The image kept in the diagnostics partition (a diagnostics image, or an
// application-type recovery image), and the debugger fetched from the slot
// that is not being booted.
#pragma once

// Boots the diagnostics partition's image; does not return when it starts.
// Returns 0 when the partition holds no usable section or a damaged one.
int extract_image_from_flash();

// Copies the debugger from the other slot's container to /tmp/gdb. `code` is
// the slot being booted (1 or 2; anything else fetches nothing). Returns 1
// when the debugger was copied and unpacked, 0 otherwise.
int extract_gdb(int code);
