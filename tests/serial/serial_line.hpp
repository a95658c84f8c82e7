// The console line of the switch on a real terminal: a pseudo-terminal
// stands for the serial line; its slave is the switch's /dev/ttyS0 (and
// standard output), its master the operator's terminal.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

#include "common/unique_fd.hpp"
#include "platform/sim/sim.hpp"
#include "serial/serial.hpp"
#include "support/testing.hpp"

namespace serial_testing {

using Fd = common::BasicUniqueFd<&::close>;

constexpr int kPatienceMs = 20000;

class SerialLine : public ::testing::Test {
protected:
    void SetUp() override {
        int m = -1, s = -1;
        ASSERT_EQ(openpty(&m, &s, nullptr, nullptr, nullptr), 0);
        master_.reset(m);
        slave_.reset(s);
        // The console as the switch's start-up leaves it: cooked, echoing,
        // CR turned into LF on input.
        termios t{};
        tcgetattr(s, &t);
        t.c_iflag |= ICRNL;
        t.c_lflag |= ICANON | ECHO | ISIG;
        t.c_oflag |= OPOST | ONLCR;
        cfsetspeed(&t, B9600);
        tcsetattr(s, TCSANOW, &t);
        std::filesystem::create_symlink(ttyname(s), dir_ / "ttyS0");
        sim::set_dev_dir(dir_.path().string());
        std::fflush(stdout);
        saved_out_.reset(dup(STDOUT_FILENO));
        dup2(s, STDOUT_FILENO);
    }
    void TearDown() override { restore_stdout(); }

    // Back to the test's own output before anything is checked: a failure
    // message must not go to the switch's console.
    void restore_stdout() {
        std::fflush(stdout);
        if (saved_out_) dup2(saved_out_.get(), STDOUT_FILENO);
    }

    // What the operator's terminal has shown so far, waiting up to the
    // patience for `until` to appear.
    std::string screen_until(const std::string& until) {
        char chunk[512];
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(kPatienceMs);
        while (screen_.find(until) == std::string::npos &&
               std::chrono::steady_clock::now() < deadline) {
            pollfd p{master_.get(), POLLIN, 0};
            if (poll(&p, 1, kPatienceMs) <= 0) break;
            const ssize_t n = read(master_.get(), chunk, sizeof chunk);
            if (n <= 0) break;
            screen_.append(chunk, static_cast<std::size_t>(n));
        }
        return screen_;
    }

    // Waits until the line carries the download settings (or no longer
    // does): keys typed before the switch flushes its input would be lost,
    // as they would be on the switch.
    void wait_for_line(bool download) {
        termios t{};
        for (int i = 0; i < kPatienceMs; ++i) {
            tcgetattr(slave_.get(), &t);
            if ((t.c_iflag == IGNBRK) == download) return;
            usleep(1000);
        }
        FAIL() << "the line never switched";
    }

    void type(const std::string& keys) {
        ASSERT_EQ(write(master_.get(), keys.data(), keys.size()),
                  static_cast<ssize_t>(keys.size()));
    }

    // The line switched for a download with the operator's Enter; its port.
    Fd switched() {
        std::atomic<int> fd{-2};
        std::thread download([&] { fd = init_serial(); });
        wait_for_line(true);
        type("\r");
        download.join();
        return Fd(fd.load());
    }

    termios line() {
        termios t{};
        tcgetattr(slave_.get(), &t);
        return t;
    }

    testing_support::TemporaryDirectory dir_;
    Fd master_, slave_, saved_out_;
    std::string screen_;
};

}  // namespace serial_testing
