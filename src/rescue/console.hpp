// Console input of the switch's dialogues: single raw keys and a small
// in-place line editor, on standard input and output (the serial console).
#pragma once

#include <cstdint>

// One key, without echo and without waiting for Enter; 0 when the read
// delivered nothing (Ctrl-C interrupting it, or an error).
int uartGetC();

// Writes one character and flushes it; returns the flush's result.
int uartPutC(int c);

// Clears all `size` bytes of buf, edits a line in it until Enter or Ctrl-C
// and returns buf. At most size - 1 characters are kept.
std::uint8_t* get_user_input(std::uint8_t* buf, std::uint32_t size);
