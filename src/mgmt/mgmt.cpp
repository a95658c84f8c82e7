#include "mgmt/mgmt.hpp"

#include <arpa/inet.h>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>

#include "common/unique_fd.hpp"
#include "launch/startup.hpp"
#include "platform/clock.hpp"
#include "rescue/console.hpp"

namespace mgmt {

namespace {

constexpr const char* kInterface = "eth0";
// Pauses, in seconds: after dhclient; after the addresses are set; after the
// dots.
constexpr unsigned kDhcpSettle = 3;
constexpr unsigned kAddressSettle = 5;
constexpr unsigned kLastSettle = 1;
constexpr unsigned kHighestUsableFirstOctet = 239;

// The dotted form of an address held in network byte order.
struct Dotted {
    char text[INET_ADDRSTRLEN];
    explicit Dotted(std::uint32_t addr) {
        in_addr a{};
        a.s_addr = addr;
        inet_ntop(AF_INET, &a, text, sizeof text);
    }
};

CommandRunner runner = nullptr;

void run(const char* command) {
    if (runner) {
        runner(command);
        return;
    }
    startup::run_shell(command);
}

char* line_of(std::uint8_t* buf) {
    return reinterpret_cast<char*>(buf);
}

}  // namespace

void set_command_runner(CommandRunner r) {
    runner = r;
}

bool mac_line_valid(std::string_view line) {
    int fields = 0;
    std::size_t i = 0;
    for (;;) {
        std::size_t digits = 0;
        while (i < line.size() && std::isxdigit(static_cast<unsigned char>(line[i]))) {
            ++i;
            ++digits;
        }
        if (digits < 1 || digits > 2) return false;
        if (++fields == 6) return i == line.size();
        if (i == line.size() || line[i] != ':') return false;
        ++i;
    }
}

}  // namespace mgmt

int verify_ip_address(std::uint32_t addr) {
    const std::uint32_t host = ntohl(addr);
    const std::uint32_t first = host >> 24;
    if (host == 0 || first == 0 || first > mgmt::kHighestUsableFirstOctet) return 0;
    return 1;
}

int get_ip_addr(const char* prompt, std::uint32_t* out, int required, int check_range) {
    std::uint8_t buf[mgmt::kAnswerSize];
    for (;;) {
        std::fputs(prompt, stdout);
        std::fflush(stdout);
        const char* line = mgmt::line_of(get_user_input(buf, sizeof buf));
        // A console that has ended cannot give a better answer: cancel.
        if (console_input_ended()) return 0;
        if (line[0] == 'q' || line[0] == 'Q') return 0;
        if (line[0] == '\0' && !required) return 1;
        // Only an accepted answer is stored: a refused one must not stay
        // behind for a later empty answer to keep.
        in_addr parsed{};
        if (inet_aton(line, &parsed) == 0) {
            std::puts("Invalid IP address. Try again please");
            continue;
        }
        if (check_range && !verify_ip_address(parsed.s_addr)) {
            std::printf("Invalid IP address %s. Try again please\n", line);
            continue;
        }
        *out = parsed.s_addr;
        return 1;
    }
}

int mgmt_port_params(char /*port*/, std::uint8_t* use_dhcp_out, std::uint32_t* ip_out,
                     std::uint32_t* mask_out, std::uint32_t* gw_out, std::uint8_t offer_dhcp) {
    *use_dhcp_out = 0;
    if (offer_dhcp && startup::exists(mgmt::kDhcpClient)) {
        std::fputs("Confirm: Use DHCP for network configuration? y/N: ", stdout);
        std::fflush(stdout);
        std::uint8_t buf[mgmt::kAnswerSize];
        get_user_input(buf, sizeof buf);
        if (sig_quit_raised || console_input_ended()) return 0;
        if (std::toupper(buf[0]) == 'Y') *use_dhcp_out = 1;
        std::putchar('\n');
    }
    if (*use_dhcp_out) return 1;
    if (!get_ip_addr("IP addr    :", ip_out, 1, 1)) return 0;
    if (!get_ip_addr("Netmask    :", mask_out, 0, 0)) return 0;
    if (!get_ip_addr("Gateway    :", gw_out, 0, 1)) return 0;
    return 1;
}

int mgmt_port_configure(std::uint8_t use_dhcp, char port, const std::uint32_t* ip,
                        const std::uint32_t* mask, const std::uint32_t* gw) {
    // Every address reaches the shell as formatted from its parsed value,
    // never as the operator typed it.
    char command[64];
    if (use_dhcp) {
        std::snprintf(command, sizeof command, "dhclient -1 eth%c", port);
        mgmt::run(command);
        platform::pause_s(mgmt::kDhcpSettle);
    } else {
        std::snprintf(command, sizeof command, "ifconfig eth%c %s\n", port, mgmt::Dotted(*ip).text);
        mgmt::run(command);
        if (*mask != 0) {
            const mgmt::Dotted netmask(*mask);
            std::printf("\tNetmask    : %s\n", netmask.text);
            std::snprintf(command, sizeof command, "ifconfig eth%c down\n", port);
            mgmt::run(command);
            std::snprintf(command, sizeof command, "ifconfig eth%c netmask %s\n", port,
                          netmask.text);
            mgmt::run(command);
            std::snprintf(command, sizeof command, "ifconfig eth%c up\n", port);
            mgmt::run(command);
        }
        platform::pause_s(mgmt::kAddressSettle);
        if (*gw != 0) {
            const mgmt::Dotted gateway(*gw);
            std::printf("\tGateway    : %s\n", gateway.text);
            std::snprintf(command, sizeof command, "route add default gw %s\n", gateway.text);
            mgmt::run(command);
        }
        std::fputs("Configuring management port...", stdout);
        for (int i = 0; i < mgmt::kSettleDots; ++i) {
            platform::pause_s(1);
            std::putchar('.');
            std::fflush(stdout);
        }
        std::putchar('\n');
        platform::pause_s(mgmt::kLastSettle);
    }
    if (port == '0' && !mgmt_link_status(port)) {
        std::puts("Mgmt link not available. Quitting.");
        return 0;
    }
    return 1;
}

int mgmt_port_setup(std::uint8_t offer_dhcp) {
    std::uint32_t ip = 0, mask = 0, gw = 0;
    std::uint8_t use_dhcp = 0;
    const char port = mgmt::kPort;
    if (!mgmt_port_params(port, &use_dhcp, &ip, &mask, &gw, offer_dhcp)) return 0;
    return mgmt_port_configure(use_dhcp, port, &ip, &mask, &gw);
}

int mgmt_link_status(char /*port*/) {
    const common::BasicUniqueFd<&::close> sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!sock) {
        std::puts("Raw Socket open error");
        return 0;
    }
    ifreq request{};
    std::strncpy(request.ifr_name, mgmt::kInterface, IFNAMSIZ - 1);
    if (::ioctl(sock.get(), SIOCGIFINDEX, &request) < 0) {
        std::printf("Open Interface %s error.\n", mgmt::kInterface);
        return 0;
    }
    if (::ioctl(sock.get(), SIOCGIFFLAGS, &request) < 0) {
        std::puts("Open flags error.");
        return 0;
    }
    const auto flags = static_cast<std::uint16_t>(request.ifr_flags);
    ethtool_value link{};
    link.cmd = ETHTOOL_GLINK;
    link.data = 0;
    request.ifr_data = reinterpret_cast<char*>(&link);
    if (::ioctl(sock.get(), SIOCETHTOOL, &request) < 0) {
        std::puts("EthTool GLINK error.");
        return 0;
    }
    return link.data != 0 && (flags & IFF_UP) && (flags & IFF_RUNNING) ? 1 : 0;
}

int run_mac_config() {
    std::uint8_t buf[mgmt::kMacAnswerSize];
    for (;;) {
        std::fputs("MAC address (format nn:nn:nn:nn:nn:nn): ", stdout);
        std::fflush(stdout);
        const char* line = mgmt::line_of(get_user_input(buf, sizeof buf));
        if (sig_quit_raised || console_input_ended()) return 0;
        if (std::strcmp(line, "q") == 0) return 0;
        // Only six fields and their colons may reach the shell: what
        // follows a sixth field would otherwise run as a command.
        if (mgmt::mac_line_valid(line)) {
            char command[64];
            std::snprintf(command, sizeof command, "ifconfig eth%c hw ether %s\n", mgmt::kPort,
                          line);
            mgmt::run(command);
            return 1;
        }
        std::puts("Invalid MAC address. Try again please");
    }
}
