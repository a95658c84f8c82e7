// The management port's questions and rules, in-process. What the answers
// do to a real port (dhclient, ifconfig, route, the link check) is tested
// end to end in the simulated switch with its management network; here no
// answer may reach the PC's own network, so the dialogues that would run a
// command run only in a private root that has no shell.
#include "mgmt/mgmt.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>

#include "launch/startup.hpp"
#include "support/switch_root.hpp"

namespace {

using testing_support::StdinFeed;
using testing_support::StdoutCapture;
using testing_support::SwitchRoot;

std::uint32_t addr(const char* dotted) {
    in_addr a{};
    inet_aton(dotted, &a);
    return a.s_addr;
}

struct AddressCase {
    const char* address;
    bool usable;
    const char* name;
};

class AddressRule : public ::testing::TestWithParam<AddressCase> {};

TEST_P(AddressRule, DecidesWhetherAHostOrGatewayMayHaveIt) {
    EXPECT_EQ(verify_ip_address(addr(GetParam().address)), GetParam().usable ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Mgmt, AddressRule,
    ::testing::Values(AddressCase{"0.0.0.0", false, "NoAddressIsRefused"},
                      AddressCase{"0.1.2.3", false, "FirstOctetZeroIsRefused"},
                      AddressCase{"240.0.0.1", false, "ClassEIsRefused"},
                      AddressCase{"255.255.255.255", false, "BroadcastIsRefused"},
                      AddressCase{"239.255.255.255", true, "TheTopOfOctet239Passes"},
                      AddressCase{"1.0.0.0", true, "OneDotZeroPasses"},
                      AddressCase{"192.0.2.7", true, "AnOrdinaryHostPasses"}),
    [](const auto& info) { return std::string(info.param.name); });

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

TEST(MgmtAddressQuestion, ReAsksUntilAUsableAddressAndSaysWhy) {
    std::uint32_t got = 0;
    StdinFeed keys("\nbanana\n240.0.0.1\n192.0.2.9\n");
    StdoutCapture out;
    EXPECT_EQ(get_ip_addr("IP addr    :", &got, 1, 1), 1);
    EXPECT_EQ(got, addr("192.0.2.9"));
    const std::string said = out.text();
    EXPECT_NE(said.find("IP addr    :"), std::string::npos);
    // The empty answer and the word are not addresses; 240.0.0.1 is one, but
    // out of range.
    std::size_t invalid = 0;
    for (auto at = said.find("Invalid IP address. Try again please\n"); at != std::string::npos;
         at = said.find("Invalid IP address. Try again please\n", at + 1))
        ++invalid;
    EXPECT_EQ(invalid, 2u) << said;
    EXPECT_NE(said.find("Invalid IP address 240.0.0.1. Try again please\n"), std::string::npos)
        << said;
}

TEST(MgmtAddressQuestion, AnEmptyOptionalAnswerLeavesTheAddressAlone) {
    std::uint32_t got = 12345;
    StdinFeed keys("\n");
    StdoutCapture out;
    EXPECT_EQ(get_ip_addr("Gateway    :", &got, 0, 1), 1);
    EXPECT_EQ(got, 12345u);
}

TEST(MgmtAddressQuestion, ANetmaskIsNotRangeChecked) {
    std::uint32_t got = 0;
    StdinFeed keys("255.255.255.0\n");
    StdoutCapture out;
    EXPECT_EQ(get_ip_addr("Netmask    :", &got, 0, 0), 1);
    EXPECT_EQ(got, addr("255.255.255.0"));
}

// q (or Q) at each of the three questions cancels the whole set-up before
// any command runs.
class CancelAt : public ::testing::TestWithParam<std::pair<const char*, const char*>> {};

TEST_P(CancelAt, CancelsTheSetUpWithNothingApplied) {
    std::uint8_t dhcp = 9;
    std::uint32_t ip = 0, mask = 0, gw = 0;
    StdinFeed keys(GetParam().second);
    StdoutCapture out;
    EXPECT_EQ(mgmt_port_params('0', &dhcp, &ip, &mask, &gw, 0), 0);
    EXPECT_EQ(dhcp, 0);
    EXPECT_EQ(out.text().find("Configuring"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Mgmt, CancelAt,
                         ::testing::Values(std::pair{"TheAddress", "q\n"},
                                           std::pair{"TheNetmask", "192.0.2.5\nQ\n"},
                                           std::pair{"TheGateway", "192.0.2.5\n\nquit\n"}),
                         [](const auto& info) { return std::string(info.param.first); });

TEST(MgmtMacQuestion, RefusesAnInjectedCommandAndLeavesAtQ) {
    StdinFeed keys("0:1:2:3:4:5;reboot\nq\n");
    StdoutCapture out;
    EXPECT_EQ(run_mac_config(), 0);
    const std::string said = out.text();
    EXPECT_NE(said.find("MAC address (format nn:nn:nn:nn:nn:nn): "), std::string::npos);
    EXPECT_NE(said.find("Invalid MAC address. Try again please\n"), std::string::npos) << said;
}

TEST(MgmtMacQuestion, AValidLineIsPassedOnAndCounts) {
    // A valid line runs ifconfig: only where there is no shell to run it.
    SwitchRoot root;
    if (!root.entered()) GTEST_SKIP() << root.why_not();
    StdinFeed keys("0:1:2:3:4:5\n");
    StdoutCapture out;
    EXPECT_EQ(run_mac_config(), 1);
}

TEST(MgmtDhcpQuestion, IsNotAskedWithoutTheDhcpClient) {
    SwitchRoot root;  // has no /bin/dhclient
    if (!root.entered()) GTEST_SKIP() << root.why_not();
    std::uint8_t dhcp = 0;
    std::uint32_t ip = 0, mask = 0, gw = 0;
    StdinFeed keys("q\n");
    StdoutCapture out;
    EXPECT_EQ(mgmt_port_params('0', &dhcp, &ip, &mask, &gw, 1), 0);
    EXPECT_EQ(out.text().find("Use DHCP"), std::string::npos);
}

}  // namespace
