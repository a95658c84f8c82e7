// The timed yes/no question of the USB path, read from standard input as
// the switch reads its console: here a pipe the test types into.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "common/unique_fd.hpp"
#include "usb/usb_boot.hpp"

namespace {

using Fd = common::BasicUniqueFd<&::close>;

// The question's 5 s are 5 ms here.
const bool fast_clock = ::setenv("BOOTLAUNCH_SIM_CLOCK", "1000", 0) == 0;

constexpr const char* kPrompt = "Load it? ";

struct Asked {
    int answer;
    std::string shown;
};

class Question : public ::testing::Test {
protected:
    // Asks with `typed` waiting on standard input; the input stays open
    // (a console that just goes quiet) unless `hang_up`.
    Asked ask(const std::string& typed, bool hang_up = false) {
        int fds[2];
        EXPECT_EQ(pipe(fds), 0);
        Fd in(fds[0]), keys(fds[1]);
        EXPECT_EQ(write(keys.get(), typed.data(), typed.size()),
                  static_cast<ssize_t>(typed.size()));
        if (hang_up) keys.reset();
        Fd saved(dup(STDIN_FILENO));
        dup2(in.get(), STDIN_FILENO);
        testing::internal::CaptureStdout();
        const int answer = yesno_question(kPrompt);
        std::fflush(stdout);
        const std::string shown = testing::internal::GetCapturedStdout();
        dup2(saved.get(), STDIN_FILENO);
        return {answer, shown};
    }
};

TEST_F(Question, OnlyALowerCaseYIsYes) {
    const Asked a = ask("Yy\n");
    EXPECT_EQ(a.answer, 1);
    // The Y costs one more prompt; the rest of the line stays for later.
    EXPECT_EQ(a.shown, "Load it? (y/n) (y/n) ");
}

TEST_F(Question, AnNIsNoAndEveryOtherKeyAsksAgain) {
    const Asked a = ask("N\nn");
    EXPECT_EQ(a.answer, 0);
    EXPECT_EQ(a.shown, "Load it? (y/n) (y/n) (y/n) ");
}

TEST_F(Question, SilenceIsNo) {
    const Asked a = ask("");
    EXPECT_EQ(a.answer, 0);
    EXPECT_EQ(a.shown, "Load it? (y/n) \nTimeout. Assuming \"no\".");
}

// A console that has gone away answers every wait at once with nothing:
// the question must end instead of asking for ever.
TEST_F(Question, AConsoleThatHungUpIsNo) {
    const Asked a = ask("x", true);
    EXPECT_EQ(a.answer, 0);
    EXPECT_EQ(a.shown, "Load it? (y/n) (y/n) ");
}

}  // namespace
