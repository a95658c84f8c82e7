// Console input of the switch's dialogues: single raw keys and a small
// in-place line editor, on standard input and output (the serial console).
#pragma once

#include <cstdint>

// One key, without echo and without waiting for Enter; 0 when the read
// delivered nothing (Ctrl-C interrupting it, or an error).
int uartGetC();

// As uartGetC, but gives up after `milliseconds` without a key: then 0 with
// `timed_out` set. For dialogues that have work to do while they wait.
int console_key_within(unsigned milliseconds, bool& timed_out);

// True when the last read of the console found its end or failed other
// than by an interruption (a hung-up line): no key will come any more, and
// a dialogue that would ask again must give up instead.
bool console_input_ended();

// Writes one character and flushes it; returns the flush's result.
int uartPutC(int c);

// Clears all `size` bytes of buf, edits a line in it until Enter, Ctrl-C or
// the end of the console's input, and returns buf. At most size - 1
// characters are kept.
std::uint8_t* get_user_input(std::uint8_t* buf, std::uint32_t size);
