#include "serial/xmodem.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "common/unique_fd.hpp"
#include "platform/clock.hpp"
#include "platform/device.hpp"
#include "serial/serial.hpp"

namespace xmodem {

namespace {

constexpr std::array<std::uint16_t, 256> make_crctab() {
    std::array<std::uint16_t, 256> t{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned crc = i << 8;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1;
        t[i] = static_cast<std::uint16_t>(crc);
    }
    return t;
}

// The waits of the protocol, in seconds.
constexpr std::uint32_t kFirstHeaderWait = 1;   // while asking with C
constexpr std::uint32_t kHeaderWait = 5;        // once the first block has begun
constexpr std::uint32_t kFrameByteWait = 3;     // block number, complement, CRC bytes
constexpr std::uint32_t kAfterEotWait = 5;
constexpr std::uint32_t kSecondCanWait = 3;
constexpr std::uint32_t kRepeatQuiet = 1;       // before the ACK of a repeated block
constexpr std::uint32_t kErrorQuiet = 2;        // before a NAK, and after a cancel
// Errors in a row after the first block that are answered with NAK; the
// next one cancels.
constexpr int kMaxRetries = 2;

// Drops what has been received; how many bytes that was.
std::size_t drop_received(int fd) {
    std::size_t n = 0;
    for (std::uint8_t b; dev::read(fd, &b, 1) == 1;) ++n;
    return n;
}

// Drops bytes until `seconds` pass without one; how many that was.
std::size_t wait_for_quiet(std::uint32_t seconds, int fd) {
    std::size_t n = 0;
    for (std::uint8_t c; getByte(seconds, &c, fd) == 1;) ++n;
    return n;
}

bool write_all(int fd, const std::uint8_t* data, std::size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, data, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

// What may end the wait for a header: before the first block, ACK and CAN
// too; afterwards those are line noise.
bool ends_header_wait(std::uint8_t c, bool started) {
    return c == kSoh || c == kStx || c == kEot || (!started && (c == kAck || c == kCan));
}

}  // namespace

constinit const std::array<std::uint16_t, 256> crctab = make_crctab();
std::uint8_t buffer[kLongBlock];
std::uint32_t errorflag = 0;

std::uint16_t crc16(std::uint16_t crc, std::span<const std::uint8_t> data) {
    for (const std::uint8_t b : data)
        crc = static_cast<std::uint16_t>((crc << 8) ^ crctab[((crc >> 8) ^ b) & 0xFF]);
    return crc;
}

Outcome receive(int line, int out) {
    std::uint8_t header = 0;
    std::uint8_t last_block = 0;
    int retries = 0;
    std::int32_t total = 0;
    std::uint32_t header_wait = kFirstHeaderWait;
    std::uint32_t units = 0;
    bool started = false;
    bool abort = false;
    // The sender may believe a block delivered that we never accepted: one
    // began and failed, or bytes came before our ACK (a sender that took
    // some other byte for that ACK has already sent its next block, which
    // is dropped unseen). Its EOT then means the file arrived short.
    bool block_outstanding = false;

    flushRX(line);
    putByte(kCrcRequest, line);
    do {
        errorflag = 0;

        // EOT is the one byte of the protocol that nothing protects. A
        // sender sends it right after our answer; one found among dropped
        // bytes is a data byte of a block we lost step with, and taking it
        // for the end would report a file cut short as received.
        bool got_header = false;
        bool dropped = false;
        for (std::uint8_t c; getByte(header_wait, &c, line) == 1; dropped = true) {
            if (ends_header_wait(c, started) && !(c == kEot && dropped)) {
                header = c;
                got_header = true;
                break;
            }
        }

        if (!got_header) {
            errorflag |= kHeaderTimeout;
        } else if (header == kEot) {
            std::fputs("EOT\n", stderr);
            if (block_outstanding) {
                abort = true;
            } else {
                flushRX(line);
                putByte(kNak, line);
                // A second EOT, or silence, confirms the end. A header here
                // is taken as a byte only: its block is sent again after the
                // NAK.
                if (getByte(kAfterEotWait, &header, line) == 1 &&
                    !ends_header_wait(header, started)) {
                    header = 0;
                    errorflag |= kStrayAfterEot;
                }
            }
        } else if (header == kCan) {
            std::fputs("CAN\n", stderr);
            std::uint8_t c;
            if (getByte(kSecondCanWait, &c, line) != 1 || (c & 0x7F) != kCan)
                errorflag |= kLoneCan;
        } else if (header == kAck) {
            errorflag |= kEarlyAck;
        } else {
            const std::uint32_t length = header == kSoh ? kShortBlock : kLongBlock;
            if (!started) {
                retries = 0;
                header_wait = kHeaderWait;
            }
            // A number or complement that did not arrive makes the block bad:
            // a value left from before must not pass for a repeat.
            std::uint8_t number = 0, complement = 0;
            const bool framed = getByte(kFrameByteWait, &number, line) == 1 &&
                                getByte(kFrameByteWait, &complement, line) == 1;
            if (!framed || number + complement != 255) {
                errorflag |= kBadNumber;
            } else if (number == static_cast<std::uint8_t>(last_block + 1)) {
                std::uint16_t crc = 0;
                const auto got = static_cast<std::uint32_t>(readData(buffer, length, &crc, line));
                std::uint8_t hi = 0, lo = 0;
                if (got == 0) {
                    errorflag |= kNoData;
                } else if (getByte(kFrameByteWait, &hi, line) != 1 ||
                           getByte(kFrameByteWait, &lo, line) != 1 ||
                           ((hi << 8) | lo) != crc) {
                    errorflag |= kCrcMismatch;
                } else if (got != length) {
                    // A sender frames whole blocks; one cut short is not a
                    // block, whatever its last two bytes say.
                    errorflag |= kNoData;
                } else if (!write_all(out, buffer, got)) {
                    std::perror("Can't write file!");
                    abort = true;
                } else {
                    retries = 0;
                    total += static_cast<std::int32_t>(got);
                    units += length == kShortBlock ? 1 : 8;
                    started = true;
                    last_block = number;
                    block_outstanding = drop_received(line) > 0;
                    putByte(kAck, line);
                }
            } else if (number == 0 && !started) {
                errorflag |= kBlockZero;
            } else if (number != last_block) {
                errorflag |= kOutOfSequence;
                abort = true;
            } else {
                // Our ACK of this block was lost: acknowledge it again once
                // the repeat has passed, and keep the data already written.
                // More than the repeat's own data and CRC means the sender
                // has already sent on.
                const std::size_t dropped =
                    drop_received(line) + wait_for_quiet(kRepeatQuiet, line);
                block_outstanding = dropped > length + 2;
                putByte(kAck, line);
            }
        }

        if (errorflag & (kBadNumber | kNoData | kCrcMismatch)) block_outstanding = true;
        if (errorflag != 0 && !abort) {
            if (!started) {
                putByte(kCrcRequest, line);
            } else if (++retries <= kMaxRetries) {
                flushRX(line);
                wait_for_quiet(kErrorQuiet, line);
                putByte(kNak, line);
            } else {
                abort = true;
            }
        }
    } while (header != kEot && !abort);

    if (header == kEot && !abort) {
        putByte(kAck, line);
        std::fputs("All done\n", stderr);
        return {total, units};
    }
    for (int i = 0; i < kCancelBytes; ++i) putByte(kCan, line);
    flushRX(line);
    wait_for_quiet(kErrorQuiet, line);
    return {0, units};
}

}  // namespace xmodem

int putByte(int byte, int fd) {
    const auto b = static_cast<std::uint8_t>(byte);
    return static_cast<int>(dev::write(fd, &b, 1));
}

int getByte(std::uint32_t seconds, std::uint8_t* out, int fd) {
    // One poll a millisecond; the simulator's faster clock shortens the
    // count, never the poll.
    std::uint32_t polls = platform::scale_ms(seconds * 1000);
    if (polls == 0) polls = 1;
    for (std::uint32_t i = 0; i < polls; ++i) {
        std::uint8_t b;
        if (dev::read(fd, &b, 1) == 1) {
            *out = b;
            return 1;
        }
        platform::pause_poll();
    }
    return -1;
}

void flushRX(int fd) {
    xmodem::drop_received(fd);
}

std::int32_t readData(std::uint8_t* data, std::uint32_t length, std::uint16_t* crc_out, int fd) {
    std::uint16_t crc = 0;
    std::uint32_t done = 0;
    while (done < length) {
        std::uint32_t pass = 0;
        // Each data byte has a second; a pass that ends early is followed by
        // one more, so a gap of up to about two seconds is bridged.
        while (done + pass < length && getByte(1, data + done + pass, fd) == 1) ++pass;
        if (pass == 0) break;
        crc = xmodem::crc16(crc, {data + done, pass});
        done += pass;
    }
    *crc_out = crc;
    return static_cast<std::int32_t>(done);
}

std::int32_t Xmodem1K(const char* path) {
    const int line = init_serial();
    if (line < 0) return -1;
    const dev::UniqueFd port(line);
    const common::BasicUniqueFd<&::close> file(
        ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!file) {
        std::perror("Can't open file!");
        reset_serial(line);
        return -1;
    }
    const xmodem::Outcome outcome = xmodem::receive(line, file.get());
    reset_serial(line);
    return outcome.result;
}
