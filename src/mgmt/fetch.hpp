// Fetching a file over the management port with the switch's own busybox
// (switch-ops fetch, which the launcher runs; of this the launcher carries
// only parse_location): its wget applet for http:// (resumed with range
// requests when the link or the server drops) and its tftp applet for
// tftp:// (started over, TFTP has no way to resume). The applet runs as a
// child; get() watches the file grow and shows the bytes, the rate and the
// time left once a second; Ctrl-C stops it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace fetch {

inline constexpr const char* kBusybox = "/bin/busybox";
// A location as the operator or the DHCP server gives it.
inline constexpr std::size_t kLocationSize = 256;
// Tries of one download: the first and the resumptions after a drop.
inline constexpr int kAttempts = 6;
// The wait before the first resumption, doubled before each next one (on
// the switch's clock).
inline constexpr unsigned kFirstBackoffMs = 1000;
// Seconds without a byte after which a try is given up (and resumed): the
// launcher watches this itself, as Debian 12's busybox wget crashes on its
// own time-out option (-T).
inline constexpr unsigned kStallS = 10;
// TFTP blocks that fill an Ethernet frame: 1500 - IP, UDP and TFTP headers.
inline constexpr unsigned kTftpBlockSize = 1468;

enum class Protocol { Http, Tftp };

// An http://HOST[:PORT]/PATH or tftp://HOST[:PORT]/PATH location, made of
// printable characters without blanks, quotes or backslashes.
struct Location {
    Protocol protocol = Protocol::Http;
    char text[kLocationSize] = {};  // the whole location, as given
    char host[kLocationSize] = {};
    char port[8] = {};              // empty: the protocol's own
    char path[kLocationSize] = {};  // after the host's '/'; for TFTP the remote file
};

// False (with `why` set to a short reason) for anything else.
bool parse_location(std::string_view text, Location& out, const char** why);

enum class Result { Whole, Cancelled, Failed };
// switch-ops fetch's exit status for a download that Ctrl-C stopped.
inline constexpr int kStoppedStatus = 3;
// Where the launcher finds it.
inline constexpr const char* kFetcher = "/usr/bin/switch-ops";

struct Outcome {
    Result result = Result::Failed;
    std::uint64_t bytes = 0;      // the file's size at the end
    std::uint64_t refetched = 0;  // bytes that came more than once (drops)
};

// Downloads `from` into `path` (replacing it). Every failure has been named
// on the console in one line when this returns Failed, and a Cancelled or
// Failed download leaves no file behind.
Outcome get(const Location& from, const char* path);

// What one line of the applet's standard error says (its -S response
// headers, its progress bar, its error messages); exposed for the tests.
struct AppletReport {
    int status = 0;            // the last HTTP status line's code
    std::uint64_t length = 0;  // its Content-Length
    std::uint64_t total = 0;   // from Content-Range, the whole file's size
    int percent = -1;          // the progress bar's, -1: none yet
    char error[160] = {};      // the applet's last "wget: ..." or "tftp: ..." line
};
void read_applet_line(std::string_view line, AppletReport& report);

}  // namespace fetch
