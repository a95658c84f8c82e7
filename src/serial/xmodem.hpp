// Receiving one file over the console line with XMODEM in its CRC-16 form,
// 128-byte (SOH) and 1024-byte (STX) blocks alike. The line is switched to
// the download settings for the transfer and back afterwards; its port is
// non-blocking, so every wait below is a count of 1 ms polls.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace xmodem {

// Protocol bytes.
inline constexpr std::uint8_t kSoh = 1;   // a 128-byte block follows
inline constexpr std::uint8_t kStx = 2;   // a 1024-byte block follows
inline constexpr std::uint8_t kEot = 4;   // end of transmission
inline constexpr std::uint8_t kAck = 6;
inline constexpr std::uint8_t kNak = 21;
inline constexpr std::uint8_t kCan = 24;
inline constexpr std::uint8_t kCrcRequest = 'C';  // asks the sender for CRC-16 mode

inline constexpr std::uint32_t kShortBlock = 128;
inline constexpr std::uint32_t kLongBlock = 1024;
// A cancellation is this many CAN bytes.
inline constexpr int kCancelBytes = 5;

// What went wrong in one step of the receiver; the bits of `errorflag`.
enum ErrorBit : std::uint32_t {
    kStrayAfterEot = 0x001,   // after an EOT, neither EOT nor a header
    kHeaderTimeout = 0x002,   // no header byte within the header wait
    kLoneCan = 0x004,         // a CAN without a second one within 3 s
    kCrcMismatch = 0x008,     // the block's CRC-16 is wrong or did not arrive
    kNoData = 0x010,          // the block's data did not arrive whole
    kBlockZero = 0x020,       // block 0 before the first block
    kOutOfSequence = 0x040,   // neither the next block nor a repeat: cancels
    kBadNumber = 0x080,       // number + complement is not 255, or missing
    kEarlyAck = 0x100,        // an ACK before the first block
};

// CRC-16/XMODEM (polynomial 0x1021, initial 0, no reflection), byte by
// byte through this table.
extern const std::array<std::uint16_t, 256> crctab;
std::uint16_t crc16(std::uint16_t crc, std::span<const std::uint8_t> data);

// The data of the block being received, and the error bits of the current
// step (cleared at the start of each).
extern std::uint8_t buffer[kLongBlock];
extern std::uint32_t errorflag;

struct Outcome {
    // Data bytes written, when the sender ended with EOT; 0 when cancelled.
    std::int32_t result = 0;
    // Accepted data in 128-byte units (a 1024-byte block counts 8).
    std::uint32_t units = 0;
};

// The transfer itself, on a line already switched and non-blocking, into
// the open file `out`. Does not switch the line back or close anything.
Outcome receive(int line, int out);

}  // namespace xmodem

// Receives one file into `path` (created or truncated). Returns the number of
// data bytes written (the sender's padding of the last block included) when
// the sender ended with EOT, 0 when the transfer was cancelled, and -1 when
// the file could not be created or the port could not be opened.
std::int32_t Xmodem1K(const char* path);

// Writes the low 8 bits of `byte` to `fd`; the write's result.
int putByte(int byte, int fd);
// Waits up to `seconds` for one byte: 1 when it was stored at `out`, -1 when
// nothing arrived (then `out` is untouched).
int getByte(std::uint32_t seconds, std::uint8_t* out, int fd);
// Drops all input already received.
void flushRX(int fd);
// Reads up to `length` data bytes into `data`, bridging a gap of about a
// second inside them, and stores their CRC-16 at `crc_out`. The count read.
std::int32_t readData(std::uint8_t* data, std::uint32_t length, std::uint16_t* crc_out, int fd);
