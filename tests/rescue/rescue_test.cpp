// The serial download's two guards, in a private root where no command can
// run (see switch_root.hpp): a port that cannot be opened must not leave the
// switch waiting for Enter on it, and a download that stores nothing must
// not install what an earlier one left in /tmp/image. The menu itself runs
// end to end in tests/e2e/test_rescue.py.
#include "rescue/rescue.hpp"

#include <gtest/gtest.h>

#include "image/container.hpp"
#include "image/section_writer.hpp"
#include "support/switch_fixture.hpp"
#include "support/testing.hpp"

namespace {

const bool fast_clock = ::setenv("BOOTLAUNCH_SIM_CLOCK", "1000", 0) == 0;

using SerialDownload = testing_support::SwitchTest<>;

TEST_F(SerialDownload, WithoutAPortItNeitherWaitsNorInstallsAnOlderFile) {
    // The simulated board has no ttyS0 among its devices.
    testing_support::write_file(
        "/tmp/image",
        image::build_section({image::code(image::ImageType::Kernel), 0x01000001, 0, false},
                             std::vector<std::uint8_t>(500, 7)));
    testing::internal::CaptureStderr();
    testing_support::StdoutCapture out;
    EXPECT_EQ(run_xmodem_rescue(), 0);
    const std::string said = out.text();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Can't open serial port!: No such file or directory\n");
    EXPECT_EQ(said.find("Change the baud rate back"), std::string::npos) << said;
    EXPECT_EQ(said.find("Extracting images"), std::string::npos) << said;
    EXPECT_TRUE(testing_support::read_file("/tmp/image").empty());
    EXPECT_EQ(board->partition("mtd-kernel"), std::vector<std::uint8_t>(0x80000, 0xFF));
}

}  // namespace
