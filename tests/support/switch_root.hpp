// A private root for tests of code that uses the switch's fixed paths
// (/user/images, /tmp/image, /tmp/lumeximage.tar.gz): the test process enters
// a mount namespace of its own and chroots into a fresh tmpfs holding /user
// (the JFFS2 file system), /tmp (the RAM file system), /proc, /dev/null and
// /scratch (where TemporaryDirectory and SimBoard put their files). Nothing else
// exists there: no shell and no reboot, so a code path that runs a command
// runs nothing. Needs root; otherwise entered() is false and the test skips.
#pragma once

#include <cstdio>
#include <string>

namespace testing_support {

class SwitchRoot {
public:
    // With `keep_working_dir`, the working directory stays reachable at its
    // own path inside (for a fuzzer's corpus and findings).
    explicit SwitchRoot(const char* tmp_size = "64m", bool keep_working_dir = false);
    bool entered() const { return entered_; }
    const std::string& why_not() const { return why_not_; }

private:
    bool entered_ = false;
    std::string why_not_;
};

// Standard input from a pipe holding `text` (then end of input) while the
// object lives.
class StdinFeed {
public:
    explicit StdinFeed(const std::string& text);
    ~StdinFeed();
    StdinFeed(const StdinFeed&) = delete;
    StdinFeed& operator=(const StdinFeed&) = delete;

private:
    int saved_ = -1;
};

// Standard output into a file while the object lives; text() reads it.
class StdoutCapture {
public:
    StdoutCapture();
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;
    std::string text();

private:
    int saved_ = -1;
    std::string path_;
};

}  // namespace testing_support
