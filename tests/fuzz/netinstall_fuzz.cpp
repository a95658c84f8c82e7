// libFuzzer target: what a network install reads from outside the launcher.
// The bytes are a dhclient lease file (whose options a DHCP server chose),
// then a location as an operator could type it, then lines of a busybox
// applet's output. An offer always fits its buffer; a location that is
// taken holds only the characters a location may hold, names a server and
// a file, and cannot reach a shell; an applet's error line stays within its
// field.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "mgmt/fetch.hpp"
#include "mgmt/netinstall.hpp"

namespace {

void check_location(std::string_view text) {
    fetch::Location where;
    const char* why = nullptr;
    if (!fetch::parse_location(text, where, &why)) {
        if (!why) std::abort();
        return;
    }
    if (std::string_view(where.text) != text || !where.host[0] || !where.path[0]) std::abort();
    for (char c : text)
        if (c <= ' ' || c >= 0x7F || c == '"' || c == '\'' || c == '\\' || c == '`') std::abort();
    if (std::strspn(where.host,
                    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-") !=
        std::strlen(where.host))
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string all(reinterpret_cast<const char*>(data), size);
    const std::size_t cut = all.find('\0');
    const std::string lease = all.substr(0, cut);
    const std::string rest = cut == std::string::npos ? std::string() : all.substr(cut + 1);

    char offer[64];
    std::memset(offer, 'x', sizeof offer);
    if (netinstall::offered_location(lease.c_str(), offer, sizeof offer)) {
        if (!std::memchr(offer, '\0', sizeof offer)) std::abort();
        check_location(offer);
    }

    const std::size_t line_end = rest.find('\n');
    check_location(std::string_view(rest).substr(0, line_end));

    fetch::AppletReport report;
    std::size_t pos = line_end == std::string::npos ? rest.size() : line_end + 1;
    while (pos < rest.size()) {
        std::size_t end = rest.find_first_of("\r\n", pos);
        if (end == std::string::npos) end = rest.size();
        fetch::read_applet_line(std::string_view(rest).substr(pos, end - pos), report);
        if (std::strlen(report.error) >= sizeof report.error) std::abort();
        pos = end + 1;
    }
    return 0;
}
