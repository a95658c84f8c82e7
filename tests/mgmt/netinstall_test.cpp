// What the network install reads from outside the launcher: the image
// location a DHCP answer offered (in the lease file Debian's dhclient
// wrote), the location an operator types, and what busybox's wget and tftp
// print while they fetch. The downloads themselves, against real servers,
// are tested end to end on the simulated switch's management LAN
// (tests/e2e/test_netinstall.py).
#include "mgmt/netinstall.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "mgmt/fetch.hpp"
#include "support/testing.hpp"

namespace {

using testing_support::PrintTo;

// A lease as dhclient 4.4 writes it (captured from one served by dnsmasq
// with options 114, 66 and 67 forced).
std::string lease(const std::string& options) {
    return "lease {\n  interface \"eth0\";\n  fixed-address 192.0.2.121;\n"
           "  option subnet-mask 255.255.255.0;\n  option routers 192.0.2.1;\n" +
           options +
           "  option dhcp-server-identifier 192.0.2.1;\n  renew 2 2026/12/08 18:03:00;\n"
           "  expire 2 2026/12/08 18:36:15;\n}\n";
}

struct LeaseCase {
    const char* name;
    std::string text;
    const char* offered;  // nullptr: none
};

class OfferedLocation : public ::testing::TestWithParam<LeaseCase> {};

TEST_P(OfferedLocation, ComesFromTheLastLease) {
    const LeaseCase& c = GetParam();
    char out[fetch::kLocationSize];
    std::memset(out, '?', sizeof out);
    const bool found = netinstall::offered_location(c.text.c_str(), out, sizeof out);
    ASSERT_EQ(found, c.offered != nullptr);
    if (c.offered) {
        EXPECT_STREQ(out, c.offered);
    }
}

const std::string kUrl = "  option default-url \"http://192.0.2.1/image.img\";\n";
const std::string kTftp =
    "  option tftp-server-name \"192.0.2.1\";\n  option bootfile-name \"dir/image.img\";\n";

INSTANTIATE_TEST_SUITE_P(
    Leases, OfferedLocation,
    ::testing::Values(
        LeaseCase{"the_default_url_before_the_tftp_options", lease(kTftp + kUrl),
                  "http://192.0.2.1/image.img"},
        LeaseCase{"tftp_server_and_boot_file_name", lease(kTftp), "tftp://192.0.2.1/dir/image.img"},
        LeaseCase{"an_absolute_boot_file_keeps_its_slash",
                  lease("  option tftp-server-name \"srv\";\n  filename \"/boot/x.img\";\n"),
                  "tftp://srv//boot/x.img"},
        LeaseCase{"the_last_lease_counts", lease(kUrl) + lease(""), nullptr},
        LeaseCase{"an_older_lease_offers_nothing_the_newer_does_not", lease("") + lease(kTftp),
                  "tftp://192.0.2.1/dir/image.img"},
        LeaseCase{"a_boot_file_without_a_server_is_no_offer",
                  lease("  option bootfile-name \"image.img\";\n"), nullptr},
        LeaseCase{"an_escaped_quote_is_not_taken",
                  lease("  option default-url \"http://a/b\\\"c\";\n"), nullptr},
        LeaseCase{"a_longer_option_name_is_not_the_url",
                  lease("  option default-urlx \"http://evil/x\";\n"), nullptr},
        LeaseCase{"a_value_longer_than_a_location_is_no_offer",
                  lease("  option default-url \"http://a/" + std::string(300, 'x') + "\";\n"),
                  nullptr},
        LeaseCase{"no_lease_at_all", "", nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

struct LocationCase {
    const char* name;
    const char* text;
    const char* host;  // nullptr: refused
    const char* port;
    const char* path;
};

class Locations : public ::testing::TestWithParam<LocationCase> {};

TEST_P(Locations, AreTakenApartOrRefusedWithAReason) {
    const LocationCase& c = GetParam();
    fetch::Location where;
    const char* why = nullptr;
    const bool ok = fetch::parse_location(c.text, where, &why);
    ASSERT_EQ(ok, c.host != nullptr) << (why ? why : "");
    if (!ok) {
        ASSERT_NE(why, nullptr);
        return;
    }
    EXPECT_STREQ(where.host, c.host);
    EXPECT_STREQ(where.port, c.port);
    EXPECT_STREQ(where.path, c.path);
    EXPECT_STREQ(where.text, c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Typed, Locations,
    ::testing::Values(LocationCase{"http_with_a_name", "http://installer/images/a.img", "installer",
                                   "", "images/a.img"},
                      LocationCase{"tftp_with_a_port", "tftp://192.0.2.1:6969/a.img", "192.0.2.1",
                                   "6969", "a.img"},
                      LocationCase{"the_scheme_in_capitals", "HTTP://h/a", "h", "", "a"},
                      LocationCase{"ftp_is_refused", "ftp://h/a", nullptr, nullptr, nullptr},
                      LocationCase{"a_blank_is_refused", "http://h/a b", nullptr, nullptr, nullptr},
                      LocationCase{"a_quote_is_refused", "http://h/a'b", nullptr, nullptr, nullptr},
                      LocationCase{"a_semicolon_in_the_host_is_refused", "http://h;reboot/a",
                                   nullptr, nullptr, nullptr},
                      LocationCase{"no_file_is_refused", "http://h/", nullptr, nullptr, nullptr},
                      LocationCase{"no_host_is_refused", "tftp:///a", nullptr, nullptr, nullptr},
                      LocationCase{"port_0_is_refused", "http://h:0/a", nullptr, nullptr, nullptr},
                      LocationCase{"port_65536_is_refused", "http://h:65536/a", nullptr, nullptr,
                                   nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

// busybox wget -S prints each response's headers; a resumed download's
// whole size comes from Content-Range, a fresh one's from Content-Length.
TEST(AppletReport, FollowsTheResponsesTheBarAndTheLastError) {
    fetch::AppletReport r;
    for (const char* line : {"  HTTP/1.1 200 OK", "  Content-Length: 3000000", ""})
        fetch::read_applet_line(line, r);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.total, 3000000u);
    fetch::AppletReport resumed;
    for (const char* line :
         {"  HTTP/1.1 206 Partial Content", "  Content-Range: bytes 1000000-2999999/3000000",
          "  Content-Length: 2000000"})
        fetch::read_applet_line(line, resumed);
    EXPECT_EQ(resumed.status, 206);
    EXPECT_EQ(resumed.total, 3000000u);
    fetch::read_applet_line("big.img               45% |**********      | 1318k  0:00:01 ETA", r);
    EXPECT_EQ(r.percent, 45);
    fetch::read_applet_line("wget: server returned error: HTTP/1.1 404 Not Found", r);
    EXPECT_STREQ(r.error, "wget: server returned error: HTTP/1.1 404 Not Found");
    fetch::read_applet_line("tftp: " + std::string(400, 'x'), r);
    EXPECT_EQ(std::strlen(r.error), sizeof r.error - 1);
}

}  // namespace
