// The serial download's two guards, in a private root where no command can
// run (see switch_root.hpp): a port that cannot be opened must not leave the
// switch waiting for Enter on it, and a download that stores nothing must
// not install what an earlier one left in /tmp/image. The menu itself runs
// end to end in tests/e2e/test_rescue.py.
#include "rescue/rescue.hpp"

#include <gtest/gtest.h>

#include <optional>

#include "hw/flash.hpp"
#include "hw/i2c.hpp"
#include "image/container.hpp"
#include "image/section_writer.hpp"
#include "support/sim_board.hpp"
#include "support/switch_root.hpp"
#include "support/testing.hpp"

namespace {

using testing_support::SimBoard;
using testing_support::StdoutCapture;
using testing_support::SwitchRoot;

const bool fast_clock = ::setenv("BOOTLAUNCH_SIM_CLOCK", "1000", 0) == 0;

TEST(SerialDownload, WithoutAPortItNeitherWaitsNorInstallsAnOlderFile) {
    SwitchRoot root;
    if (!root.entered()) GTEST_SKIP() << root.why_not();
    SimBoard board;  // no ttyS0 among its devices
    api_i2c_init();
    api_flash_init();
    const auto old =
        image::build_section({image::code(image::ImageType::Kernel), 0x01000001, 0, false},
                             std::vector<std::uint8_t>(500, 7));
    testing_support::write_file("/tmp/image", old);

    testing::internal::CaptureStderr();
    StdoutCapture out;
    EXPECT_EQ(run_xmodem_rescue(), 0);
    const std::string said = out.text();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Can't open serial port!: No such file or directory\n");
    EXPECT_EQ(said.find("Change the baud rate back"), std::string::npos) << said;
    EXPECT_EQ(said.find("Extracting images"), std::string::npos) << said;
    EXPECT_TRUE(testing_support::read_file("/tmp/image").empty());
    EXPECT_EQ(board.partition("mtd-kernel"), std::vector<std::uint8_t>(0x80000, 0xFF));
    api_i2c_close();
}

}  // namespace
