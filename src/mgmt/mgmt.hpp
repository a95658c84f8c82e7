// The management Ethernet port: its address by DHCP or from typed answers,
// the check of its link, and its MAC address. Questions are asked on the
// console with the line editor; the network is changed through the shell's
// dhclient, ifconfig and route.
#pragma once

#include <cstdint>
#include <string_view>

namespace mgmt {

inline constexpr const char* kDhcpClient = "/bin/dhclient";
// Every command addresses eth<port>; both entry points use port '0'.
inline constexpr char kPort = '0';
inline constexpr std::uint32_t kAnswerSize = 128;
// "nn:nn:nn:nn:nn:nn" and its terminator.
inline constexpr std::uint32_t kMacAnswerSize = 18;
// The dots printed while the port comes up, one a second.
inline constexpr int kSettleDots = 20;

// A MAC address line the switch passes on: six fields of one or two
// hexadecimal digits separated by colons, and nothing else.
bool mac_line_valid(std::string_view line);

// Where the commands go: the system shell, unless a test or a fuzzer records
// them instead (nullptr puts the shell back).
using CommandRunner = int (*)(const char* command);
void set_command_runner(CommandRunner runner);

}  // namespace mgmt

// Asks how the port gets its address (DHCP is offered when `offer_dhcp` is
// set and the DHCP client exists) and applies the answers. 1 when the port is
// configured and its link is up; 0 when the operator cancelled or the link is
// down.
int mgmt_port_setup(std::uint8_t offer_dhcp);

// Gathers the answers; addresses are in network byte order, 0 for a netmask
// or gateway not given. 1 when all needed answers were given, 0 on cancel.
int mgmt_port_params(char port, std::uint8_t* use_dhcp_out, std::uint32_t* ip_out,
                     std::uint32_t* mask_out, std::uint32_t* gw_out, std::uint8_t offer_dhcp);

// Runs the commands for the answers, waits for the port, checks the link.
int mgmt_port_configure(std::uint8_t use_dhcp, char port, const std::uint32_t* ip,
                        const std::uint32_t* mask, const std::uint32_t* gw);

// Asks for one address until a usable one or q. An empty answer is accepted
// (and `out` left alone) unless `required`; `check_range` applies
// verify_ip_address. 1 with the address, 0 on cancel.
int get_ip_addr(const char* prompt, std::uint32_t* out, int required, int check_range);

// 1 when `addr` (network byte order) can be a host or gateway address: not
// 0, first octet neither 0 nor above 239.
int verify_ip_address(std::uint32_t addr);

// 1 when eth0 is up, running and has link.
int mgmt_link_status(char port);

// Asks for a MAC address until a valid one (set on eth0: 1) or q or Ctrl-C (0).
int run_mac_config();
