#include "mgmt/netinstall.hpp"

#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string_view>

#include "common/text.hpp"
#include "common/unique_fd.hpp"
#include "image/installer.hpp"
#include "launch/boot_state.hpp"
#include "launch/settings.hpp"
#include "launch/startup.hpp"
#include "mgmt/child.hpp"
#include "mgmt/fetch.hpp"
#include "mgmt/mgmt.hpp"
#include "platform/clock.hpp"
#include "rescue/console.hpp"

namespace netinstall {

namespace {

// The tail of the lease file that is read: the last lease is at its end.
constexpr std::size_t kLeaseTail = 16384;
// How long the start waits for the DHCP client's answer before it offers
// the rescue menu (and goes on waiting behind it), in seconds.
constexpr unsigned kDhcpWaitS = 15;
// The slice in which a wait looks at the console and the programs it runs.
constexpr unsigned kSliceMs = 200;

using platform::now_ms;

// The value of `name "..."` (a dhclient lease statement) in `block`, or an
// empty view. dhclient writes a quote or a control character inside a value
// with a backslash escape: such a value is not taken.
std::string_view lease_value(std::string_view block, std::string_view name) {
    std::size_t at = 0;
    for (;;) {
        at = block.find(name, at);
        if (at == std::string_view::npos) return {};
        // The statement's own name: at a line's start (after blanks) and
        // followed by a blank, not a longer name that ends the same way.
        std::size_t before = at;
        while (before > 0 && (block[before - 1] == ' ' || block[before - 1] == '\t')) --before;
        const bool starts = before == 0 || block[before - 1] == '\n';
        const std::size_t after = at + name.size();
        at = after;
        if (!starts || after >= block.size() || block[after] != ' ') continue;
        const std::size_t open = block.find('"', after);
        const std::size_t line_end = block.find('\n', after);
        if (open == std::string_view::npos || open > line_end) continue;
        const std::size_t close = block.find('"', open + 1);
        if (close == std::string_view::npos || close > line_end) return {};
        const std::string_view value = common::slice(block, open + 1, close - open - 1);
        if (value.find('\\') != std::string_view::npos) return {};
        return value;
    }
}

bool copy_out(char* out, std::size_t size, std::initializer_list<std::string_view> parts) {
    std::size_t total = 0;
    for (std::string_view part : parts) total += part.size();
    if (total >= size) return false;
    char* p = out;
    for (std::string_view part : parts) {
        if (!part.empty()) std::memcpy(p, part.data(), part.size());
        p += part.size();
    }
    *p = '\0';
    return true;
}

// The text of a lease file's tail, or nullptr when there is none.
const char* lease_text(const char* path) {
    common::UniqueFile f(std::fopen(path, "rb"));
    if (!f) return nullptr;
    static char text[kLeaseTail + 1];
    if (std::fseek(f.get(), 0, SEEK_END) == 0) {
        const long end = std::ftell(f.get());
        std::fseek(f.get(),
                   end > static_cast<long>(kLeaseTail) ? end - static_cast<long>(kLeaseTail) : 0,
                   SEEK_SET);
    }
    const std::size_t n = std::fread(text, 1, kLeaseTail, f.get());
    text[n] = '\0';
    return text;
}

// The offer of the switch's lease file as it is now.
bool read_offer(char* out, std::size_t size) {
    const char* text = lease_text(kLeaseFile);
    return text && offered_location(text, out, size);
}

bool has_address() {
    const common::BasicUniqueFd<&::close> sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!sock) return false;
    ifreq request{};
    std::strncpy(request.ifr_name, kInterface, IFNAMSIZ - 1);
    return ::ioctl(sock.get(), SIOCGIFADDR, &request) == 0;
}

// Keys typed while the download ran must not answer the installer's slot
// question.
void forget_typed_keys() {
    ::tcflush(STDIN_FILENO, TCIFLUSH);
}

// Asks for the location until a usable one, q or Ctrl-C.
bool ask_location(const char* offered, fetch::Location& where) {
    std::uint8_t buf[fetch::kLocationSize];
    for (;;) {
        if (offered)
            std::printf("Image location (q to quit) [%s]: ", offered);
        else
            std::printf("Image location (http://SERVER/FILE or tftp://SERVER/FILE, q to quit): ");
        std::fflush(stdout);
        const char* line = reinterpret_cast<const char*>(get_user_input(buf, sizeof buf));
        if (sig_quit_raised || console_input_ended()) return false;
        if ((line[0] == 'q' || line[0] == 'Q') && line[1] == '\0') return false;
        if (line[0] == '\0' && !offered) {
            std::puts("A location is needed. Try again please");
            continue;
        }
        const char* why = nullptr;
        if (fetch::parse_location(line[0] ? line : offered, where, &why)) return true;
        std::printf("Invalid location: %s. Try again please\n", why);
        if (line[0] == '\0') offered = nullptr;  // the offer itself is unusable
    }
}

// How a download went.
enum class Got { Whole, Stopped, Failed };

// The download into /tmp/image, by switch-ops fetch (its progress and its
// one-line failures on the console): the launcher runs it as it runs rx.
Got download(const fetch::Location& where) {
    if (!startup::exists(fetch::kFetcher)) {
        std::printf("Network install needs %s, which this root file system lacks\n",
                    fetch::kFetcher);
        return Got::Failed;
    }
    char name[] = "switch-ops", command[] = "fetch";
    char file[sizeof "/tmp/image"];
    std::snprintf(file, sizeof file, "%s", kDownload);
    char* argv[] = {name, command, const_cast<char*>(where.text), file, nullptr};
    const int status = startup::run_program(fetch::kFetcher, argv);
    forget_typed_keys();
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return Got::Whole;
    std::remove(kDownload);
    if (WIFEXITED(status) && WEXITSTATUS(status) == fetch::kStoppedStatus) return Got::Stopped;
    if (WIFSIGNALED(status)) std::printf("Download ended by signal %d\n", WTERMSIG(status));
    return Got::Failed;
}

// --- zero-touch ---------------------------------------------------------------

enum class Phase { Off, Asking, Waiting };

// Zero-touch's DHCP client keeps its lease here, in RAM, emptied before each
// try: the first lease in it is that try's answer.
constexpr const char* kZeroTouchLeases = "/tmp/zerotouch.leases";

struct ZeroTouch {
    Phase phase = Phase::Off;
    pid_t dhcp = -1;             // our DHCP client, in the foreground of its own (-d)
    bool at_prompt = false;      // the menu's prompt ends the console's last line
    std::uint64_t asked_at = 0;  // ms
    std::uint64_t next_try = 0;
    unsigned retry_s = kFirstRetryS;
};
ZeroTouch zt;

// Before the first line that zero-touch prints behind the menu's prompt.
void leave_prompt() {
    if (zt.at_prompt) std::putchar('\n');
    zt.at_prompt = false;
}

// True once the DHCP client holds a lease (a whole block in its file).
bool leased() {
    const char* text = lease_text(kZeroTouchLeases);
    return text && std::strstr(text, "lease {") && std::strstr(text, "\n}");
}

void stop_dhcp() {
    child::stop(zt.dhcp);
    zt.dhcp = -1;
}

void stop(const char* why) {
    stop_dhcp();
    zt.phase = Phase::Off;
    leave_prompt();
    std::printf("Zero-touch install stopped: %s\n", why);
}

void ask_dhcp() {
    stop_dhcp();
    std::remove(kZeroTouchLeases);
    char dhclient[] = "dhclient", once[] = "-1", foreground[] = "-d", lf[] = "-lf";
    char leases[64];
    std::snprintf(leases, sizeof leases, "%s", kZeroTouchLeases);
    char port[sizeof "eth0"];
    std::snprintf(port, sizeof port, "%s", kInterface);
    char* argv[] = {dhclient, once, foreground, lf, leases, port, nullptr};
    zt.dhcp = child::start(mgmt::kDhcpClient, argv, -1);
    zt.asked_at = now_ms();
    zt.phase = Phase::Asking;
}

void retry_later(const char* why) {
    leave_prompt();
    std::printf("Zero-touch install: %s; trying again in %u s\n", why, zt.retry_s);
    zt.next_try = now_ms() + platform::scale_ms(zt.retry_s * 1000);
    zt.retry_s = zt.retry_s * 2 > kLastRetryS ? kLastRetryS : zt.retry_s * 2;
    zt.phase = Phase::Waiting;
}

// Watches the console for `ms` of real time; true when a key (or Ctrl-C)
// came, which the wait takes.
bool key_within(unsigned ms) {
    bool timed_out = false;
    console_key_within(ms, timed_out);
    if (console_input_ended()) {
        ::usleep(ms * 1000);  // nobody at the console: no key will come
        return false;
    }
    if (timed_out) return false;
    sig_quit_raised = 0;
    return true;
}

// Waits `ms` on the switch's clock, watching the console; false when a key
// came.
bool quiet_for(unsigned ms) {
    const std::uint64_t until = now_ms() + platform::scale_ms(ms);
    for (std::uint64_t t = now_ms(); t < until; t = now_ms()) {
        const auto left = static_cast<unsigned>(until - t);
        if (key_within(left < kSliceMs ? left : kSliceMs)) return false;
    }
    return true;
}

// One try with the offered location: the countdown, the download, the check
// and the install into slot 1, then the reboot into it.
void attempt(const char* offer) {
    fetch::Location where;
    const char* why = nullptr;
    if (!fetch::parse_location(offer, where, &why)) {
        char line[fetch::kLocationSize + 64];
        std::snprintf(line, sizeof line, "the offered location is not usable (%s)", why);
        retry_later(line);
        return;
    }
    leave_prompt();
    std::printf("Zero-touch install: the network offers %s\n", where.text);
    for (unsigned left = kCountdownS; left > 0; --left) {
        std::printf("\rInstalling it into image 1 in %2u s; press any key for the rescue menu ",
                    left);
        std::fflush(stdout);
        if (!quiet_for(1000)) {
            std::putchar('\n');
            stop("a key was pressed");
            return;
        }
    }
    std::printf("\rInstalling it into image 1 now%50s\n", "");
    const Got got = download(where);
    if (got == Got::Stopped) {
        stop("Ctrl-C");
        return;
    }
    if (got != Got::Whole) {
        retry_later("the download failed");
        return;
    }
    if (!install::container_whole(kDownload, true)) {
        std::remove(kDownload);
        retry_later("the offered file is not an image to install");
        return;
    }
    stop_dhcp();
    char event[96];
    std::snprintf(event, sizeof event, "zero-touch install of %.60s", where.text);
    bootstate::log_event(event);
    if (processTesselImage(kDownload, 0, 1)) {
        std::remove(kDownload);
        std::puts("Zero-touch install done: rebooting into image 1");
        board_reset();
    }
    std::remove(kDownload);
    retry_later("the install failed");
}

// Moves zero-touch on; true when it printed something.
bool step() {
    if (zt.phase == Phase::Waiting) {
        if (now_ms() < zt.next_try) return false;
        ask_dhcp();
        return false;
    }
    if (zt.phase != Phase::Asking) return false;
    int code = 0;
    const bool answered = leased();
    const bool gave_up = !answered && child::ended(zt.dhcp, code);
    if (gave_up) zt.dhcp = -1;
    if (!answered && !gave_up) return false;
    char offer[fetch::kLocationSize];
    const char* text = lease_text(kZeroTouchLeases);
    if (answered && text && offered_location(text, offer, sizeof offer)) {
        attempt(offer);
    } else if (answered) {
        retry_later("the DHCP server offers no image location");
    } else {
        retry_later("no answer from a DHCP server");
    }
    return true;
}

}  // namespace

bool offered_location(const char* lease_text, char* out, std::size_t size) {
    const std::string_view text(lease_text);
    const std::size_t last = text.rfind("lease {");
    if (last == std::string_view::npos) return false;
    std::string_view block = common::slice(text, last);
    if (const std::size_t end = block.find("\n}"); end != std::string_view::npos)
        block = common::slice(block, 0, end + 1);
    const std::string_view url = lease_value(block, "option default-url");
    if (!url.empty()) return copy_out(out, size, {url});
    const std::string_view server = lease_value(block, "option tftp-server-name");
    std::string_view file = lease_value(block, "option bootfile-name");
    if (file.empty()) file = lease_value(block, "filename");
    if (server.empty() || file.empty()) return false;
    // The file name as the server knows it: whatever follows the server's
    // slash is the TFTP request's name, an absolute one included.
    return copy_out(out, size, {"tftp://", server, "/", file});
}

bool port_present() {
    return if_nametoindex(kInterface) != 0;
}

bool zero_touch_start() {
    if (!zero_touch_enable) return false;
    if (!port_present()) {
        std::puts("Zero-touch install: this switch has no management port");
        return false;
    }
    std::printf(
        "No bootable image. Zero-touch install: asking the management network for an "
        "image (any key: the rescue menu)\n");
    zt = ZeroTouch{};
    ask_dhcp();
    while (zt.phase == Phase::Asking && now_ms() - zt.asked_at < kDhcpWaitS * 1000u) {
        if (key_within(kSliceMs)) {
            stop("a key was pressed");
            return true;
        }
        step();
    }
    if (zt.phase == Phase::Asking)
        std::puts("Zero-touch install: no answer from a DHCP server yet; still asking");
    return true;
}

bool zero_touch_tick() {
    if (zt.phase == Phase::Off) return false;
    zt.at_prompt = true;
    const bool printed = step();
    zt.at_prompt = false;
    return printed;
}

bool zero_touch_active() {
    return zt.phase != Phase::Off;
}

void zero_touch_stop(const char* why) {
    if (zt.phase != Phase::Off) stop(why);
}

}  // namespace netinstall

int run_network_install() {
    netinstall::zero_touch_stop("the operator chose a network install");
    std::puts("Network install over the management port");
    if (!mgmt_port_setup(1)) return 0;
    if (!netinstall::has_address()) {
        std::printf("%s has no address (no answer from a DHCP server?): nothing installed\n",
                    netinstall::kInterface);
        return 0;
    }
    char offered[fetch::kLocationSize];
    const bool have = netinstall::read_offer(offered, sizeof offered);
    fetch::Location where;
    if (!netinstall::ask_location(have ? offered : nullptr, where)) return 0;
    if (netinstall::download(where) != netinstall::Got::Whole) return 0;
    if (!install::container_whole(netinstall::kDownload, false)) {
        std::remove(netinstall::kDownload);
        return 0;
    }
    return processTesselImage(netinstall::kDownload, 0, 0);
}
