// libFuzzer target: the management port's dialogues fed arbitrary keys on
// the console (line editing included): the address questions, the set-up
// they lead to, then the MAC address question. The commands are recorded,
// never run. Every command must be one of the fixed forms, with addresses
// as dotted numbers within the rules and a MAC address of six hexadecimal
// fields: no other byte of what was typed may reach the shell.
#include <arpa/inet.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "mgmt/mgmt.hpp"
#include "support/switch_root.hpp"

namespace {

std::vector<std::string>* commands;

int record(const char* command) {
    commands->emplace_back(command);
    return 0;
}

bool dotted(std::string_view text) {
    in_addr a{};
    const std::string s(text);
    if (s.empty() || s.find_first_not_of("0123456789.") != std::string::npos) return false;
    return inet_pton(AF_INET, s.c_str(), &a) == 1;
}

bool usable(std::string_view text) {
    in_addr a{};
    return inet_pton(AF_INET, std::string(text).c_str(), &a) == 1 && verify_ip_address(a.s_addr);
}

bool starts(std::string_view s, std::string_view p) {
    return s.substr(0, p.size()) == p;
}

// One of the commands the management port runs, and nothing else.
bool allowed(std::string_view c) {
    if (c == "dhclient -1 eth0" || c == "ifconfig eth0 down\n" || c == "ifconfig eth0 up\n")
        return true;
    if (c.empty() || c.back() != '\n') return false;
    c.remove_suffix(1);
    if (starts(c, "ifconfig eth0 netmask ")) return dotted(c.substr(22));
    if (starts(c, "route add default gw ")) return usable(c.substr(21));
    if (starts(c, "ifconfig eth0 hw ether ")) {
        const std::string_view mac = c.substr(23);
        return mac.find_first_not_of("0123456789abcdefABCDEF:") == std::string_view::npos &&
               mgmt::mac_line_valid(mac);
    }
    if (starts(c, "ifconfig eth0 ")) return usable(c.substr(14));
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The set-up's pauses (20 s of dots) pass at once.
    ::setenv("BOOTLAUNCH_SIM_CLOCK", "1000000", 1);
    commands = new std::vector<std::string>;
    mgmt::set_command_runner(record);
    if (!std::freopen("/dev/null", "w", stdout)) std::exit(1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 60000) return 0;  // what a pipe holds
    commands->clear();
    {
        // The keys on standard input, then its end.
        testing_support::StdinFeed keys(std::string(reinterpret_cast<const char*>(data), size));
        mgmt_port_setup(1);
        run_mac_config();
    }
    for (const std::string& c : *commands)
        if (!allowed(c)) {
            std::fprintf(stderr, "command not allowed: \"%s\"\n", c.c_str());
            __builtin_trap();
        }
    return 0;
}
