// libFuzzer target: the XMODEM-1K receiver with an arbitrary byte stream as
// its line. The receiver's waits run 100 times faster (a second of them is
// 10 polls) on its own clock, which its polls advance: nothing sleeps. The
// stream arrives a byte every 10 us of that clock; 0xFE k holds the line
// silent for (k mod 8) + 1 of the receiver's seconds (its longest wait is 5),
// and 0xFE 0xFE is the byte 0xFE itself. When the
// stream has ended, a receiver still asking with C is sent block 2 as a first
// block, which ends any transfer.
//
// Besides "no crash, no hang": a transfer reported as received must be made
// of blocks that the stream framed whole and correctly (header, number,
// complement, data, CRC-16), numbered 1, 2, 3... in the file's order, and
// the count reported must be the file's size.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/sim/sim.hpp"
#include "serial/xmodem.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kGap = 0xFE;
constexpr std::uint64_t kByteUs = 10;
// One of the receiver's seconds on its faster clock.
constexpr std::uint64_t kSecondUs = 10000;
// Line fd numbers never reach the kernel: the far end answers them.
constexpr int kLine = 1000;

class FuzzedLine : public sim::FarEnd {
public:
    FuzzedLine(const std::uint8_t* data, std::size_t size) {
        std::uint64_t t = 1000;
        for (std::size_t i = 0; i < size; ++i) {
            const std::uint8_t b = data[i];
            if (b == kGap && i + 1 < size) {
                ++i;
                if (data[i] != kGap) {
                    t += (data[i] % 8u + 1u) * kSecondUs;
                    continue;
                }
            }
            t += kByteUs;
            arrival_us_.push_back(t);
            stream_.push_back(b);
        }
    }

    long read(std::uint8_t* buf, std::size_t count) override {
        if (count == 0) return 0;
        if (next_ < stream_.size() && arrival_us_[next_] <= now_us_) {
            *buf = stream_[next_++];
            return 1;
        }
        if (!finisher_.empty() && next_ >= stream_.size()) {
            *buf = finisher_.front();
            finisher_.erase(finisher_.begin());
            return 1;
        }
        errno = EAGAIN;
        return -1;
    }

    long write(const std::uint8_t* buf, std::size_t count) override {
        for (std::size_t i = 0; i < count; ++i)
            if (buf[i] == xmodem::kCrcRequest && next_ >= stream_.size())
                finisher_ = {xmodem::kSoh, 2, 0xFD};
        return static_cast<long>(count);
    }

    void advance_ms(unsigned ms) override { now_us_ += ms * 1000ull; }

    const Bytes& stream() const { return stream_; }

private:
    std::vector<std::uint64_t> arrival_us_;
    Bytes stream_;
    std::size_t next_ = 0;
    std::uint64_t now_us_ = 0;
    Bytes finisher_;
};

// True when `block` (of its number and length) was on the line framed whole.
bool framed_in(const Bytes& stream, std::uint8_t number, const std::uint8_t* data,
               std::size_t length) {
    Bytes frame{length == xmodem::kShortBlock ? xmodem::kSoh : xmodem::kStx, number,
                static_cast<std::uint8_t>(255 - number)};
    frame.insert(frame.end(), data, data + length);
    const std::uint16_t crc = xmodem::crc16(0, {data, length});
    frame.push_back(static_cast<std::uint8_t>(crc >> 8));
    frame.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    return std::search(stream.begin(), stream.end(), frame.begin(), frame.end()) != stream.end();
}

// Splits the file into framed blocks numbered from 1; false when it cannot.
bool made_of_framed_blocks(const Bytes& stream, const Bytes& file, std::size_t at,
                           std::uint8_t number) {
    if (at == file.size()) return true;
    for (const std::size_t length : {xmodem::kLongBlock, xmodem::kShortBlock}) {
        if (file.size() - at < length) continue;
        if (framed_in(stream, number, file.data() + at, length) &&
            made_of_framed_blocks(stream, file, at + length, static_cast<std::uint8_t>(number + 1)))
            return true;
    }
    return false;
}

Bytes contents(int fd) {
    Bytes out(static_cast<std::size_t>(::lseek(fd, 0, SEEK_END)));
    if (!out.empty() && ::pread(fd, out.data(), out.size(), 0) != static_cast<ssize_t>(out.size()))
        std::abort();
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    ::setenv("BOOTLAUNCH_SIM_CLOCK", "100", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedLine line(data, size);
    const int file = ::memfd_create("received", MFD_CLOEXEC);
    if (file < 0) std::abort();
    sim::attach_far_end(kLine, &line);
    const xmodem::Outcome o = xmodem::receive(kLine, file);
    sim::detach_far_end(kLine);
    const Bytes got = contents(file);
    ::close(file);

    if (o.result < 0) std::abort();
    if (o.result > 0) {
        // Received: the count is the file, and the file is what a sender framed.
        if (static_cast<std::size_t>(o.result) != got.size()) __builtin_trap();
        if (!made_of_framed_blocks(line.stream(), got, 0, 1)) __builtin_trap();
    }
    return 0;
}
