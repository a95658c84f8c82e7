#include "mgmt/fetch.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "common/text.hpp"
#include "common/unique_fd.hpp"
#include "launch/startup.hpp"
#include "mgmt/child.hpp"
#include "platform/clock.hpp"

namespace fetch {

namespace {

using Fd = common::BasicUniqueFd<&::close>;

constexpr std::string_view kHttp = "http://";
constexpr std::string_view kTftp = "tftp://";

// What an applet's failure means: these come back the same however often
// they are asked, and nothing of them can be resumed.
constexpr std::string_view kFinal[] = {
    "server returned error",  // wget: an HTTP status other than 200 or 206
    "bad address",            // wget: a name that does not resolve
    "server error",           // tftp: the server's own error packet
    "No space left",          // either: /tmp is full
};

bool usable_char(char c) {
    return c > ' ' && c < 0x7F && c != '"' && c != '\'' && c != '\\' && c != '`';
}

bool copy_to(char* out, std::size_t size, std::string_view text) {
    if (text.size() >= size) return false;
    if (!text.empty()) std::memcpy(out, text.data(), text.size());
    out[text.size()] = '\0';
    return true;
}

using platform::now_ms;

std::uint64_t size_of(const char* path) {
    struct stat st {};
    if (::stat(path, &st) != 0 || st.st_size < 0) return 0;
    return static_cast<std::uint64_t>(st.st_size);
}

std::uint64_t free_bytes(const char* path) {
    char dir[kLocationSize];
    std::snprintf(dir, sizeof dir, "%s", path);
    if (char* slash = std::strrchr(dir, '/'); slash && slash != dir) *slash = '\0';
    struct statvfs fs {};
    if (::statvfs(dir, &fs) != 0) return UINT64_MAX;
    return static_cast<std::uint64_t>(fs.f_bavail) * fs.f_frsize;
}

std::uint64_t number_at(std::string_view text) {
    std::uint64_t n = 0;
    for (char c : text) {
        if (c < '0' || c > '9') break;
        n = n * 10 + static_cast<unsigned>(c - '0');
    }
    return n;
}

bool starts_with_ci(std::string_view s, std::string_view prefix) {
    if (s.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        const char a = s[i] >= 'A' && s[i] <= 'Z' ? static_cast<char>(s[i] + 32) : s[i];
        const char b =
            prefix[i] >= 'A' && prefix[i] <= 'Z' ? static_cast<char>(prefix[i] + 32) : prefix[i];
        if (a != b) return false;
    }
    return true;
}

// "7.3 MiB", "512 KiB", "900 B".
void human(char* out, std::size_t size, std::uint64_t bytes) {
    if (bytes >= (1u << 20))
        std::snprintf(out, size, "%u.%u MiB", static_cast<unsigned>(bytes >> 20),
                      static_cast<unsigned>((bytes & 0xFFFFF) * 10 >> 20));
    else if (bytes >= 1024)
        std::snprintf(out, size, "%u KiB", static_cast<unsigned>(bytes / 1024));
    else
        std::snprintf(out, size, "%u B", static_cast<unsigned>(bytes));
}

// The busybox applet of one try, its standard error and its end.
class Applet {
public:
    bool start(const Location& from, const char* path) {
        int pipe_fds[2];
        if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return false;
        Fd read_end(pipe_fds[0]);
        Fd write_end(pipe_fds[1]);

        char* argv[16] = {};
        int n = 0;
        char busybox[] = "busybox";
        argv[n++] = busybox;
        char block[16];
        std::snprintf(block, sizeof block, "%u", kTftpBlockSize);
        char wget[] = "wget", c[] = "-c", q[] = "-q", s[] = "-S", o[] = "-O";
        char tftp[] = "tftp", g[] = "-g", r[] = "-r", l[] = "-l", b[] = "-b";
        char* out = const_cast<char*>(path);
        char* url = const_cast<char*>(from.text);
        char* remote = const_cast<char*>(from.path);
        char* host = const_cast<char*>(from.host);
        char* port = const_cast<char*>(from.port);
        if (from.protocol == Protocol::Http) {
            // -c: continue what an earlier try left; -S: the response
            // headers (the size) on standard error; -q: no progress bar.
            for (char* a : {wget, c, q, s, o, out, url}) argv[n++] = a;
        } else {
            for (char* a : {tftp, g, r, remote, l, out, b, block, host}) argv[n++] = a;
            if (port[0]) argv[n++] = port;
        }

        pid_ = child::start(kBusybox, argv, write_end.get());
        if (pid_ < 0) return false;
        out_ = std::move(read_end);
        ::fcntl(out_.get(), F_SETFL, O_NONBLOCK);
        return true;
    }

    int output_fd() const { return out_.get(); }

    // Reads what the applet printed; each line (ended by \n or by the \r of
    // a progress bar) goes to `report`.
    void drain(AppletReport& report) {
        char chunk[512];
        for (;;) {
            const ssize_t n = ::read(out_.get(), chunk, sizeof chunk);
            if (n <= 0) return;
            for (ssize_t i = 0; i < n; ++i) {
                const char ch = chunk[i];
                if (ch == '\n' || ch == '\r' || line_len_ == sizeof line_ - 1) {
                    read_applet_line(std::string_view(line_, line_len_), report);
                    line_len_ = 0;
                    if (ch == '\n' || ch == '\r') continue;
                }
                line_[line_len_++] = ch;
            }
        }
    }

    // True once the applet has ended; its exit status in `code`.
    bool ended(int& code) {
        if (!child::ended(pid_, code)) return false;
        pid_ = -1;
        return true;
    }

    void stop() {
        child::stop(pid_);
        pid_ = -1;
    }

    ~Applet() { stop(); }

private:
    pid_t pid_ = -1;
    Fd out_;
    char line_[256] = {};
    std::size_t line_len_ = 0;
};

// Waits up to `ms` (real time) for the applet's output, letting only SIGINT
// in; false when Ctrl-C came.
bool wait_for(int fd, int ms, const sigset_t& waiting) {
    pollfd p{fd, POLLIN, 0};
    const timespec t{ms / 1000, (ms % 1000) * 1000000L};
    ::ppoll(fd >= 0 ? &p : nullptr, fd >= 0 ? 1 : 0, &t, &waiting);
    return !sig_quit_raised;
}

// Holds SIGINT except inside the waits, so that a Ctrl-C is never lost
// between a test of the flag and the wait.
class HeldInterrupt {
public:
    HeldInterrupt() {
        sigset_t sigint;
        sigemptyset(&sigint);
        sigaddset(&sigint, SIGINT);
        sigprocmask(SIG_BLOCK, &sigint, &original_);
        waiting_ = original_;
        sigdelset(&waiting_, SIGINT);
    }
    ~HeldInterrupt() { sigprocmask(SIG_SETMASK, &original_, nullptr); }
    const sigset_t& waiting() const { return waiting_; }

private:
    sigset_t original_{};
    sigset_t waiting_{};
};

class Progress {
public:
    explicit Progress(const char* path) : path_(path), start_(now_ms()) {}

    void show(const AppletReport& r, std::uint64_t expected) {
        const std::uint64_t bytes = size_of(path_);
        const std::uint64_t elapsed = now_ms() - start_;
        const std::uint64_t rate = elapsed ? bytes * 1000 / elapsed : 0;
        char have[24], all[24], speed[24];
        human(have, sizeof have, bytes);
        human(speed, sizeof speed, static_cast<std::uint64_t>(rate));
        const std::uint64_t total = r.total ? r.total : expected;
        char left[32] = "";
        if (total > bytes && rate > 0) {
            const auto s = static_cast<unsigned>((total - bytes) / rate);
            std::snprintf(left, sizeof left, ", %u:%02u left", s / 60, s % 60);
        } else if (total == 0 && r.percent > 0 && r.percent < 100) {
            const auto s = static_cast<unsigned>(elapsed * static_cast<unsigned>(100 - r.percent) /
                                                 static_cast<unsigned>(r.percent) / 1000);
            std::snprintf(left, sizeof left, ", %u:%02u left", s / 60, s % 60);
        }
        if (total) {
            human(all, sizeof all, total);
            std::printf("\r  %s of %s, %s/s%s   ", have, all, speed, left);
        } else if (r.percent >= 0) {
            std::printf("\r  %s (%d%%), %s/s%s   ", have, r.percent, speed, left);
        } else {
            std::printf("\r  %s, %s/s   ", have, speed);
        }
        std::fflush(stdout);
        shown_ = true;
    }

    // Ends the progress line, if one was shown.
    void end_line() {
        if (shown_) std::putchar('\n');
        shown_ = false;
    }

    std::uint64_t elapsed_ms() const { return now_ms() - start_; }

private:
    const char* path_;
    std::uint64_t start_;
    bool shown_ = false;
};

bool is_final(const char* error) {
    for (std::string_view marker : kFinal)
        if (std::strstr(error, marker.data())) return true;
    return false;
}

// The applet's message without its name, for our own line.
const char* message_of(const AppletReport& r) {
    const char* colon = std::strchr(r.error, ':');
    return colon && colon[1] == ' ' ? colon + 2 : r.error;
}

}  // namespace

bool parse_location(std::string_view text, Location& out, const char** why) {
    const char* ignored = nullptr;
    const char** reason = why ? why : &ignored;
    out = Location{};
    std::string_view rest;
    if (starts_with_ci(text, kHttp)) {
        out.protocol = Protocol::Http;
        rest = common::slice(text, kHttp.size());
    } else if (starts_with_ci(text, kTftp)) {
        out.protocol = Protocol::Tftp;
        rest = common::slice(text, kTftp.size());
    } else {
        *reason = "it must start with http:// or tftp://";
        return false;
    }
    for (char ch : text)
        if (!usable_char(ch)) {
            *reason = "it holds a blank, a quote or a character that is not plain ASCII";
            return false;
        }
    if (!copy_to(out.text, sizeof out.text, text)) {
        *reason = "it is too long";
        return false;
    }
    const std::size_t slash = rest.find('/');
    std::string_view authority = common::slice(rest, 0, slash);
    const std::string_view path =
        slash == std::string_view::npos ? std::string_view() : common::slice(rest, slash + 1);
    std::string_view port;
    if (const std::size_t colon = authority.find(':'); colon != std::string_view::npos) {
        port = common::slice(authority, colon + 1);
        authority = common::slice(authority, 0, colon);
        const std::uint64_t number = number_at(port);
        if (port.empty() || port.size() > 5 || number_at(port) == 0 || number > 65535 ||
            port.find_first_not_of("0123456789") != std::string_view::npos) {
            *reason = "its port is not a number from 1 to 65535";
            return false;
        }
    }
    if (authority.empty() ||
        authority.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                    "0123456789.-") != std::string_view::npos) {
        *reason = "it names no server (a name or an IPv4 address)";
        return false;
    }
    if (path.empty() || path.back() == '/') {
        *reason = "it names no file on the server";
        return false;
    }
    copy_to(out.host, sizeof out.host, authority);
    copy_to(out.port, sizeof out.port, port);
    copy_to(out.path, sizeof out.path, path);
    return true;
}

void read_applet_line(std::string_view line, AppletReport& report) {
    std::size_t i = 0;
    while (i < line.size() && line[i] == ' ') ++i;
    const std::string_view text = common::slice(line, i);
    if (i > 0 && starts_with_ci(text, "HTTP/")) {
        // "  HTTP/1.1 206 Partial Content": a new response.
        const std::size_t space = text.find(' ');
        report.status = space == std::string_view::npos
                            ? 0
                            : static_cast<int>(number_at(common::slice(text, space + 1)));
        report.length = 0;
        return;
    }
    if (i > 0 && starts_with_ci(text, "Content-Length:")) {
        std::string_view v = common::slice(text, 15);
        while (!v.empty() && v.front() == ' ') v.remove_prefix(1);
        report.length = number_at(v);
        if (report.status == 200) report.total = report.length;
        return;
    }
    if (i > 0 && starts_with_ci(text, "Content-Range:")) {
        // "bytes 1000-2999/3000": the whole file's size after the slash.
        const std::size_t slash = text.rfind('/');
        if (slash != std::string_view::npos)
            report.total = number_at(common::slice(text, slash + 1));
        return;
    }
    if (starts_with_ci(text, "wget: ") || starts_with_ci(text, "tftp: ")) {
        copy_to(report.error, sizeof report.error,
                common::slice(
                    text, 0,
                    text.size() < sizeof report.error ? text.size() : sizeof report.error - 1));
        return;
    }
    // A progress bar: "name   45% |*****     |  1318k  0:00:01 ETA".
    if (const std::size_t pct = text.find("% |"); pct != std::string_view::npos) {
        std::size_t start = pct;
        while (start > 0 && text[start - 1] >= '0' && text[start - 1] <= '9') --start;
        if (start < pct) report.percent = static_cast<int>(number_at(common::slice(text, start)));
    }
}

Outcome get(const Location& from, const char* path) {
    Outcome outcome;
    std::remove(path);
    const HeldInterrupt held;
    Progress progress(path);
    const bool http = from.protocol == Protocol::Http;
    unsigned backoff = kFirstBackoffMs;
    std::uint64_t expected = 0;  // the whole file's size, once a server said it
    std::uint64_t came = 0;      // the most of the file seen in this try

    auto give_up = [&](Result result) {
        std::remove(path);
        outcome.result = result;
        outcome.bytes = 0;
        return outcome;
    };

    for (int attempt = 1; attempt <= kAttempts; ++attempt) {
        if (!http) {
            // TFTP cannot resume: what came is fetched again (busybox tftp
            // removes what it wrote when it fails).
            outcome.refetched += came;
            came = 0;
            std::remove(path);
        }
        Applet applet;
        AppletReport report;
        if (!applet.start(from, path)) return give_up(Result::Failed);
        const std::uint64_t base = size_of(path);
        int code = -1;
        std::uint64_t last_shown = 0;
        bool restarted = false;
        std::uint64_t last_size = base;
        std::uint64_t last_growth = now_ms();
        for (;;) {
            const bool ended = applet.ended(code);
            applet.drain(report);
            if (ended) break;
            if (!wait_for(applet.output_fd(), 200, held.waiting())) {
                applet.stop();
                progress.end_line();
                sig_quit_raised = 0;
                std::puts("Download stopped: nothing was kept, nothing installed");
                return give_up(Result::Cancelled);
            }
            if (report.status == 200 && base > 0 && http && !restarted) {
                // The server ignored the range: wget starts the file over.
                outcome.refetched += base;
                restarted = true;
            }
            if (report.total && !expected) {
                expected = report.total;
                const std::uint64_t room = free_bytes(path) + size_of(path);
                if (expected > room) {
                    applet.stop();
                    progress.end_line();
                    std::printf(
                        "Download failed: the image (%llu bytes) does not fit in /tmp "
                        "(%llu bytes free)\n",
                        static_cast<unsigned long long>(expected),
                        static_cast<unsigned long long>(room));
                    return give_up(Result::Failed);
                }
            } else if (report.total && report.total != expected) {
                // The file changed on the server since the last try: what
                // came before is not part of it.
                applet.stop();
                progress.end_line();
                std::puts("Download failed: the file changed on the server during the download");
                return give_up(Result::Failed);
            }
            if (const std::uint64_t size = size_of(path); size != last_size) {
                last_size = size;
                if (size > came) came = size;
                last_growth = now_ms();
            } else if (now_ms() - last_growth > kStallS * 1000u) {
                applet.stop();
                std::snprintf(report.error, sizeof report.error, "no data for %u s", kStallS);
                code = -1;
                break;
            }
            if (progress.elapsed_ms() - last_shown >= 1000) {
                last_shown = progress.elapsed_ms();
                progress.show(report, expected);
            }
        }
        const std::uint64_t now = size_of(path);
        if (code == 0 && (!expected || now == expected)) {
            progress.show(report, expected);
            progress.end_line();
            const std::uint64_t ms = progress.elapsed_ms();
            char total[24], rate[24];
            human(total, sizeof total, now);
            human(rate, sizeof rate, ms ? now * 1000 / ms : now);
            std::printf("Downloaded %llu bytes (%s) in %u.%u s, %s/s",
                        static_cast<unsigned long long>(now), total,
                        static_cast<unsigned>(ms / 1000), static_cast<unsigned>(ms % 1000 / 100),
                        rate);
            if (outcome.refetched)
                std::printf("; %llu bytes fetched again after drops",
                            static_cast<unsigned long long>(outcome.refetched));
            std::putchar('\n');
            outcome.result = Result::Whole;
            outcome.bytes = now;
            return outcome;
        }
        progress.end_line();
        if (code == 0) std::snprintf(report.error, sizeof report.error, "the transfer ended early");
        if (!report.error[0])
            std::snprintf(report.error, sizeof report.error, "%s ended with status %d",
                          http ? "wget" : "tftp", code);
        if (std::strstr(report.error, "No space left")) {
            std::printf("Download failed: /tmp is full (%llu bytes of the image fit)\n",
                        static_cast<unsigned long long>(now));
            return give_up(Result::Failed);
        }
        // Nothing ever came, or the server said no: asking again changes
        // nothing.
        if (now > came) came = now;
        if (is_final(report.error) || (came == 0 && outcome.refetched == 0 && attempt == 1)) {
            std::printf("Download failed: %s\n", message_of(report));
            return give_up(Result::Failed);
        }
        if (attempt == kAttempts) break;
        std::printf("Transfer broken off at %llu bytes (%s); %s in %u s (try %d of %d)\n",
                    static_cast<unsigned long long>(came), message_of(report),
                    http ? "resuming" : "starting over", (backoff + 999) / 1000, attempt + 1,
                    kAttempts);
        std::fflush(stdout);
        // The pause, on the switch's clock; Ctrl-C ends it and the download.
        const std::uint64_t until = now_ms() + platform::scale_ms(backoff);
        for (std::uint64_t t = now_ms(); t < until; t = now_ms()) {
            const int ms = until - t < 200 ? static_cast<int>(until - t) : 200;
            if (!wait_for(-1, ms, held.waiting())) {
                sig_quit_raised = 0;
                std::puts("Download stopped: nothing was kept, nothing installed");
                return give_up(Result::Cancelled);
            }
        }
        backoff *= 2;
    }
    const std::uint64_t now = came;
    if (expected)
        std::printf("Download failed: the transfer was cut short at %llu of %llu bytes\n",
                    static_cast<unsigned long long>(now),
                    static_cast<unsigned long long>(expected));
    else
        std::printf("Download failed: the transfer was cut short at %llu bytes\n",
                    static_cast<unsigned long long>(now));
    return give_up(Result::Failed);
}

}  // namespace fetch
