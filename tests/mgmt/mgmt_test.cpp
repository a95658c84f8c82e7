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

using testing_support::PrintTo;

struct MacCase {
    const char* line;
    bool valid;
    const char* name;
};

class MacRule : public ::testing::TestWithParam<MacCase> {};

TEST_P(MacRule, LetsOnlySixHexFieldsAndTheirColonsThrough) {
    EXPECT_EQ(mgmt::mac_line_valid(GetParam().line), GetParam().valid) << GetParam().line;
}

INSTANTIATE_TEST_SUITE_P(
    Mgmt, MacRule,
    ::testing::Values(MacCase{"0:1:2:3:4:5", true, "SingleDigitFieldsPass"},
                      MacCase{"00:1A:2b:3C:4d:FF", true, "TwoDigitFieldsOfEitherCasePass"},
                      MacCase{"0:1:2:3:4:5;reboot", false, "ACommandAfterTheSixthFieldIsRefused"},
                      MacCase{"0:1:2:3:4:5 ", false, "ATrailingBlankIsRefused"},
                      MacCase{"0:1:2:3:4:5:", false, "ATrailingColonIsRefused"},
                      MacCase{"0:1:2:3:4", false, "FiveFieldsAreRefused"},
                      MacCase{"000:1:2:3:4:5", false, "AThreeDigitFieldIsRefused"},
                      MacCase{"0::2:3:4:5", false, "AnEmptyFieldIsRefused"},
                      MacCase{"0:1:2:3:4:g", false, "ANonHexDigitIsRefused"},
                      MacCase{"0x1:1:2:3:4:5", false, "AHexPrefixIsRefused"},
                      MacCase{"", false, "AnEmptyLineIsRefused"}),
    [](const auto& info) { return std::string(info.param.name); });

// A gateway refused by the rules, then an empty answer (no gateway): the
// refused address must not be kept as the answer.
TEST(MgmtQuestions, AnEmptyAnswerAfterARefusedOneLeavesNoAddress) {
    std::uint32_t gw = 0;
    testing_support::StdinFeed keys("8\n\n");
    testing_support::StdoutCapture out;
    EXPECT_EQ(get_ip_addr("Gateway    :", &gw, 0, 1), 1);
    EXPECT_EQ(gw, 0u);
    EXPECT_NE(out.text().find("Invalid IP address 8. Try again please"), std::string::npos);
}

// A console that has ended (no more keys, ever) cancels the questions
// instead of asking again for ever.
TEST(MgmtQuestions, AnEndedConsoleCancelsInsteadOfAskingForEver) {
    std::uint32_t ip = 0;
    {
        testing_support::StdinFeed keys("banana\n");
        testing_support::StdoutCapture out;
        EXPECT_EQ(get_ip_addr("IP addr    :", &ip, 1, 1), 0);
    }
    {
        testing_support::StdinFeed keys("not-a-mac\n");
        testing_support::StdoutCapture out;
        EXPECT_EQ(run_mac_config(), 0);
    }
}

}  // namespace
