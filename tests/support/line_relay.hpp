// A serial line between two descriptors, for tests and benchmarks of the
// console transfers: a relay that copies bytes both ways and can spoil them
// on the way (corrupt, drop, duplicate, hold up) or pace them at a line's
// speed; and an XMODEM sender (lrzsz's sx) on one end of a socket pair.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "common/unique_fd.hpp"

namespace testing_support {

// A pseudo-terminal as the console line is once switched for a download:
// its slave (the switch's end) raw and non-blocking; its master the far end.
struct DownloadLine {
    DownloadLine();
    common::BasicUniqueFd<&::close> master, slave;
};

// What an XMODEM sender delivers of `data`: its last block filled up with
// 0x1A to a whole 128 bytes.
std::vector<std::uint8_t> with_sender_padding(std::vector<std::uint8_t> data);

// Chances per byte; a held-up byte stalls the stream behind it.
struct LineNoise {
    double corrupt = 0;
    double drop = 0;
    double duplicate = 0;
    double delay = 0;
    unsigned delay_ms = 0;
};

class LineRelay {
public:
    // Copies a→b with `forward` noise and b→a with `back` noise until the
    // relay goes. `rate` paces a→b in bytes a second (0: as fast as it
    // comes; 11520 is 115200 bit/s at ten bits a byte).
    LineRelay(int a, int b, LineNoise forward = {}, LineNoise back = {}, unsigned seed = 1,
              unsigned rate = 0);
    ~LineRelay();
    LineRelay(const LineRelay&) = delete;
    LineRelay& operator=(const LineRelay&) = delete;

    // Bytes corrupted, dropped, duplicated or held up so far.
    unsigned long faults() const { return faults_.load(); }

private:
    void pump(int from, int to, LineNoise noise, unsigned seed, unsigned rate);
    bool send(int to, const std::uint8_t* data, std::size_t n);

    std::atomic<bool> stop_{false};
    std::atomic<unsigned long> faults_{0};
    std::thread forward_, back_;
};

// A program talking XMODEM on its standard input and output, which are one
// end of a socket pair; `line` is the other end. Killed when it goes.
class PeerProgram {
public:
    explicit PeerProgram(const std::vector<std::string>& argv);
    ~PeerProgram();
    PeerProgram(const PeerProgram&) = delete;
    PeerProgram& operator=(const PeerProgram&) = delete;

    int line() const { return line_; }
    // Waits up to `ms` for the program to end; its exit status, or -1 when
    // it was still running (then it is killed).
    int finish(int ms);
    // True while the program has not ended.
    bool running();

private:
    pid_t pid_ = -1;
    int line_ = -1;
};

// True when `program` is found on PATH.
bool have_program(const std::string& program);

}  // namespace testing_support
