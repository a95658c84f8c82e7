// The management port's MAC address rule and its questions' corner cases. The
// questions and what the answers do to a real port (dhclient, ifconfig,
// route, the link check) are tested end to end in the simulated switch with
// its management network (tests/e2e/test_mgmt.py): in-process, an answer
// could reach the PC's own network.
#include "mgmt/mgmt.hpp"

#include <gtest/gtest.h>

#include <string>

#include "support/switch_root.hpp"
#include "support/testing.hpp"

namespace {

using testing_support::StdinFeed;
using testing_support::StdoutCapture;

// Six fields of one or two hex digits of either case, with colons between
// them, and nothing else.
TEST(MacRule, LetsOnlySixHexFieldsAndTheirColonsThrough) {
    for (const char* good : {"0:1:2:3:4:5", "00:1A:2b:3C:4d:FF"})
        EXPECT_TRUE(mgmt::mac_line_valid(good)) << good;
    for (const char* bad : {"0:1:2:3:4:5;reboot", "0:1:2:3:4:5:", "0:1:2:3:4", "000:1:2:3:4:5",
                            "0::2:3:4:5", "0:1:2:3:4:g"})
        EXPECT_FALSE(mgmt::mac_line_valid(bad)) << bad;
}

// A gateway refused by the rules, then an empty answer (no gateway): the
// refused address must not be kept as the answer. A console that has ended
// (no more keys, ever) cancels the questions instead of asking again for
// ever.
TEST(MgmtQuestions, AnEmptyAnswerLeavesNoAddressAndAnEndedConsoleCancels) {
    std::uint32_t address = 0;
    {
        StdinFeed keys("8\n\n");
        StdoutCapture out;
        EXPECT_EQ(get_ip_addr("Gateway    :", &address, 0, 1), 1);
        EXPECT_NE(out.text().find("Invalid IP address 8. Try again please"), std::string::npos);
    }
    EXPECT_EQ(address, 0u);
    StdoutCapture out;
    {
        StdinFeed keys("banana\n");
        EXPECT_EQ(get_ip_addr("IP addr    :", &address, 1, 1), 0);
    }
    StdinFeed keys("not-a-mac\n");
    EXPECT_EQ(run_mac_config(), 0);
}

}  // namespace
