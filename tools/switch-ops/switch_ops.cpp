// switch-ops: the switch's own operations that no menu of the launcher
// offers, for an engineer at the switch's console.
//
//   switch-ops xmodem FILE   receive FILE over the console line (XMODEM-1K, CRC-16)
//   switch-ops mgmt [--dhcp] give the management port eth0 its address
//   switch-ops mac           set eth0's MAC address
//   switch-ops confirm       the application works: its trial start is confirmed
//   switch-ops boot-state [--json]   the trial-boot record
//   switch-ops events [N]    the last N events (all by default)
//   switch-ops fetch LOCATION FILE   download an http:// or tftp:// LOCATION
//                            over the management port into FILE (the
//                            launcher's network install runs it)
//
// Exit status 0 when the operation succeeded, 1 when it was cancelled or
// failed, 2 for a command line it does not understand; fetch ends with 3
// when Ctrl-C stopped it.
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "launch/boot_state.hpp"
#include "launch/event_log.hpp"
#include "launch/startup.hpp"
#include "mgmt/fetch.hpp"
#include "mgmt/mgmt.hpp"
#include "serial/xmodem.hpp"

namespace {

constexpr const char* kUsage =
    "usage: switch-ops xmodem FILE    receive FILE over the console (XMODEM-1K, CRC-16)\n"
    "       switch-ops mgmt [--dhcp]  configure the management port eth0\n"
    "       switch-ops mac            set the MAC address of eth0\n"
    "       switch-ops confirm        confirm the running image's trial start\n"
    "       switch-ops boot-state [--json]  show the trial-boot record\n"
    "       switch-ops events [N]     show the last N events (default: all)\n"
    "       switch-ops fetch LOCATION FILE  download http:// or tftp:// LOCATION into FILE\n";

int usage(std::FILE* to, int status) {
    std::fputs(kUsage, to);
    return status;
}

int xmodem_command(const char* path) {
    const std::int32_t total = Xmodem1K(path);
    if (total < 0) return 1;
    if (total == 0) {
        // An empty file ended by EOT and a cancelled transfer both give 0.
        std::printf("switch-ops: no data received into %s\n", path);
        return 1;
    }
    std::printf("switch-ops: received %ld bytes into %s\n", static_cast<long>(total), path);
    return 0;
}

int confirm_command() {
    switch (bootstate::confirm("")) {
    case bootstate::Confirmed::Now:
        std::puts("switch-ops: start confirmed: the image is good");
        return 0;
    case bootstate::Confirmed::Already:
        std::puts("switch-ops: nothing to confirm: no trial start is waiting");
        return 0;
    case bootstate::Confirmed::Failed:
        break;
    }
    std::puts("switch-ops: the confirmation could not be saved");
    return 1;
}

int events_command(const char* count) {
    unsigned long n = static_cast<unsigned long>(-1);
    if (count) {
        char* end = nullptr;
        n = std::strtoul(count, &end, 10);
        if (*count == '\0' || *end != '\0') return usage(stderr, 2);
    }
    if (!events::print_last(n)) std::puts("switch-ops: no events on record");
    return 0;
}

int fetch_command(const char* location, const char* path) {
    fetch::Location where;
    const char* why = nullptr;
    if (!fetch::parse_location(location, where, &why)) {
        std::printf("switch-ops: %s is not a location: %s\n", location, why);
        return 2;
    }
    switch (fetch::get(where, path).result) {
    case fetch::Result::Whole:
        return 0;
    case fetch::Result::Cancelled:
        return fetch::kStoppedStatus;
    case fetch::Result::Failed:
        break;
    }
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string_view command = argc > 1 ? argv[1] : "";
    if (command == "--help" || command == "-h") return usage(stdout, 0);
#ifdef BOOTLAUNCH_SIM
    // The simulator build runs the switch's network commands, which must
    // never reconfigure the PC itself: only inside the simulated switch.
    if (!std::getenv("BOOTLAUNCH_SIM_BOARD")) {
        std::fputs("switch-ops (simulator build) runs only inside the simulated switch\n", stderr);
        return 1;
    }
#endif
    startup::claim_standard_descriptors();
    sig_init();
    if (command == "xmodem" && argc == 3) return xmodem_command(argv[2]);
    if (command == "mgmt" && argc <= 3) {
        const std::string_view option = argc == 3 ? argv[2] : "";
        if (!option.empty() && option != "--dhcp") return usage(stderr, 2);
        const int ok = mgmt_port_setup(option == "--dhcp" ? 1 : 0);
        std::puts(ok ? "switch-ops: management port configured"
                     : "switch-ops: management port not configured");
        return ok ? 0 : 1;
    }
    if (command == "mac" && argc == 2) {
        // ifconfig reports for itself an address that the port refuses (a
        // multicast one, say); its result is not judged here.
        const int ok = run_mac_config();
        std::puts(ok ? "switch-ops: MAC address handed to ifconfig"
                     : "switch-ops: MAC address not changed");
        return ok ? 0 : 1;
    }
    if (command == "confirm" && argc == 2) return confirm_command();
    if (command == "boot-state" && argc <= 3) {
        const std::string_view option = argc == 3 ? argv[2] : "";
        if (!option.empty() && option != "--json") return usage(stderr, 2);
        bootstate::print(option == "--json");
        return 0;
    }
    if (command == "events" && argc <= 3) return events_command(argc == 3 ? argv[2] : nullptr);
    if (command == "fetch" && argc == 4) return fetch_command(argv[2], argv[3]);
    return usage(stderr, 2);
}
