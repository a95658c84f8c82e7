// The timed yes/no question of the USB path, read from standard input as
// the switch reads its console. What the answers do (y loads the stick's
// image, an n or silence boots from flash) is tested on the powered switch
// in tests/e2e/test_usb.py.
#include <gtest/gtest.h>

#include "support/switch_root.hpp"
#include "usb/usb_boot.hpp"

namespace {

// The question's 5 s are 5 ms here.
const bool fast_clock = ::setenv("BOOTLAUNCH_SIM_CLOCK", "1000", 0) == 0;

std::string asked(const std::string& typed, int answer) {
    testing_support::StdinFeed keys(typed);
    testing_support::StdoutCapture out;
    EXPECT_EQ(yesno_question("Load it? "), answer) << typed;
    return out.text();
}

// Only a lower-case y is yes: a Y costs one more prompt. A console that has
// gone away answers every wait at once with nothing: the question must end
// instead of asking for ever.
TEST(Question, OnlyALowerCaseYIsYesAndAConsoleThatHungUpIsNo) {
    EXPECT_EQ(asked("Yy\n", 1), "Load it? (y/n) (y/n) ");
    EXPECT_EQ(asked("x", 0), "Load it? (y/n) (y/n) ");
}

}  // namespace
