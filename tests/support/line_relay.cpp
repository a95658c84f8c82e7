#include "support/line_relay.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <random>

namespace testing_support {

namespace {

constexpr int kPollMs = 10;

void set_nonblocking(int fd) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

}  // namespace

DownloadLine::DownloadLine() {
    int m = -1, s = -1;
    if (::openpty(&m, &s, nullptr, nullptr, nullptr) != 0) return;
    master.reset(m);
    slave.reset(s);
    termios raw{};
    ::tcgetattr(s, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(s, TCSANOW, &raw);
    set_nonblocking(s);
}

std::vector<std::uint8_t> with_sender_padding(std::vector<std::uint8_t> data) {
    while (data.size() % 128 != 0) data.push_back(0x1A);
    return data;
}

LineRelay::LineRelay(int a, int b, LineNoise forward, LineNoise back, unsigned seed,
                     unsigned rate) {
    // A sender that has ended leaves its socket closed: a write there must
    // fail, not end the test.
    ::signal(SIGPIPE, SIG_IGN);
    set_nonblocking(a);
    set_nonblocking(b);
    forward_ = std::thread([=, this] { pump(a, b, forward, seed, rate); });
    back_ = std::thread([=, this] { pump(b, a, back, seed * 7919u + 1u, 0); });
}

LineRelay::~LineRelay() {
    stop_ = true;
    forward_.join();
    back_.join();
}

bool LineRelay::send(int to, const std::uint8_t* data, std::size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(to, data, n);
        if (w > 0) {
            data += w;
            n -= static_cast<std::size_t>(w);
            continue;
        }
        if (w < 0 && errno != EAGAIN && errno != EINTR) return false;
        if (stop_) return false;
        pollfd p{to, POLLOUT, 0};
        ::poll(&p, 1, kPollMs);
    }
    return true;
}

void LineRelay::pump(int from, int to, LineNoise noise, unsigned seed, unsigned rate) {
    using clock = std::chrono::steady_clock;
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    const auto byte_time = rate ? std::chrono::nanoseconds(1000000000ll / rate)
                                : std::chrono::nanoseconds(0);
    // When the line's next byte may leave. A line that has been idle starts
    // at once; one with bytes waiting sends them back to back, so a late
    // wake-up is made up by the bytes after it, as a UART's shift register
    // would.
    auto next_slot = clock::now();
    const auto deliver = [&](const std::vector<std::uint8_t>& out) {
        if (rate == 0) return send(to, out.data(), out.size());
        next_slot = std::max(next_slot, clock::now());
        std::size_t done = 0;
        while (done < out.size()) {
            std::this_thread::sleep_until(next_slot);
            const auto late = clock::now() - next_slot;
            const std::size_t due =
                std::min(out.size() - done, static_cast<std::size_t>(late / byte_time) + 1);
            if (!send(to, out.data() + done, due)) return false;
            done += due;
            next_slot += byte_time * static_cast<long>(due);
        }
        return true;
    };
    std::uint8_t in[4096];
    std::vector<std::uint8_t> out;
    while (!stop_) {
        pollfd p{from, POLLIN, 0};
        if (::poll(&p, 1, kPollMs) <= 0) continue;
        const ssize_t n = ::read(from, in, sizeof in);
        if (n == 0) return;  // the far end has gone
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) continue;
            return;  // a pty whose other side closed gives EIO
        }
        out.clear();
        for (ssize_t i = 0; i < n; ++i) {
            std::uint8_t c = in[i];
            if (chance(rng) < noise.drop) {
                ++faults_;
                continue;
            }
            const bool corrupt = chance(rng) < noise.corrupt;
            if (corrupt) c = static_cast<std::uint8_t>(c ^ (1 + rng() % 255));
            const bool twice = chance(rng) < noise.duplicate;
            const bool held = chance(rng) < noise.delay;
            faults_ += corrupt + twice + held;
            if (held) {
                if (!deliver(out)) return;
                out.clear();
                std::this_thread::sleep_for(std::chrono::milliseconds(noise.delay_ms));
            }
            out.push_back(c);
            if (twice) out.push_back(c);
        }
        if (!deliver(out)) return;
    }
}

PeerProgram::PeerProgram(const std::vector<std::string>& argv) {
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(sv[1], 0);
        ::dup2(sv[1], 1);
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 2);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    ::close(sv[1]);
    line_ = sv[0];
}

int PeerProgram::finish(int ms) {
    if (pid_ <= 0) return -1;
    int status = 0;
    for (int waited = 0; waited <= ms; waited += 5) {
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        ::usleep(5000);
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return -1;
}

bool PeerProgram::running() {
    int status = 0;
    if (pid_ > 0 && ::waitpid(pid_, &status, WNOHANG) == pid_) pid_ = -1;
    return pid_ > 0;
}

PeerProgram::~PeerProgram() {
    finish(0);
    if (line_ >= 0) ::close(line_);
}

bool have_program(const std::string& program) {
    return ::system(("command -v " + program + " >/dev/null 2>&1").c_str()) == 0;
}

}  // namespace testing_support
