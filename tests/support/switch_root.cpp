#include "support/switch_root.hpp"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "support/testing.hpp"

namespace testing_support {

namespace {

std::string failed(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

}  // namespace

SwitchRoot::SwitchRoot(const char* tmp_size, bool keep_working_dir) {
    char cwd[4096];
    if (!::getcwd(cwd, sizeof cwd)) cwd[0] = '\0';
    if (::unshare(CLONE_NEWNS) != 0) {
        why_not_ = failed("a private mount namespace needs root");
        return;
    }
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        why_not_ = failed("mount --make-rprivate /");
        return;
    }
    std::string base = "/tmp";
    if (const char* t = std::getenv("BOOTLAUNCH_TEST_TMP")) base = t;
    ::mkdir(base.c_str(), 0755);
    std::string root = base + "/root.XXXXXX";
    if (!::mkdtemp(root.data()) || ::mount("switch-root", root.c_str(), "tmpfs", 0, "mode=0755")) {
        why_not_ = failed("tmpfs root");
        return;
    }
    for (const char* d : {"/user", "/tmp", "/proc", "/scratch", "/dev"})
        ::mkdir((root + d).c_str(), 0755);
    const int null = ::open((root + "/dev/null").c_str(), O_CREAT | O_WRONLY, 0666);
    if (null >= 0) ::close(null);
    const std::string tmp_options = std::string("mode=1777,size=") + tmp_size;
    if (::mount("switch-tmp", (root + "/tmp").c_str(), "tmpfs", 0, tmp_options.c_str()) != 0 ||
        ::mount("/proc", (root + "/proc").c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0 ||
        ::mount("/dev/null", (root + "/dev/null").c_str(), nullptr, MS_BIND, nullptr) != 0) {
        why_not_ = failed("mounts inside the root");
        return;
    }
    if (keep_working_dir && cwd[0] == '/') {
        std::filesystem::create_directories(root + cwd);
        if (::mount(cwd, (root + cwd).c_str(), nullptr, MS_BIND, nullptr) != 0) {
            why_not_ = failed("binding the working directory");
            return;
        }
    }
    if (::chdir(root.c_str()) != 0 || ::chroot(".") != 0 ||
        ::chdir(keep_working_dir && cwd[0] == '/' ? cwd : "/") != 0) {
        why_not_ = failed("chroot");
        return;
    }
    // The point of the exercise: from here no command of the PC can run.
    struct stat st {};
    if (::stat("/bin/sh", &st) == 0 || ::stat("/sbin/reboot", &st) == 0) std::abort();
    ::setenv("BOOTLAUNCH_TEST_TMP", "/scratch", 1);
    entered_ = true;
}

StdinFeed::StdinFeed(const std::string& text) {
    int fds[2];
    if (::pipe(fds) != 0) throw std::runtime_error("pipe");
    if (::write(fds[1], text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        throw std::runtime_error("pipe write");
    ::close(fds[1]);
    saved_ = ::dup(STDIN_FILENO);
    ::dup2(fds[0], STDIN_FILENO);
    ::close(fds[0]);
    std::clearerr(stdin);
}

StdinFeed::~StdinFeed() {
    ::dup2(saved_, STDIN_FILENO);
    ::close(saved_);
    std::clearerr(stdin);
}

StdoutCapture::StdoutCapture() {
    std::fflush(stdout);
    char path[] = "/tmp/stdout.XXXXXX";
    const int fd = ::mkstemp(path);
    if (fd < 0) throw std::runtime_error("mkstemp");
    path_ = path;
    saved_ = ::dup(STDOUT_FILENO);
    ::dup2(fd, STDOUT_FILENO);
    ::close(fd);
}

StdoutCapture::~StdoutCapture() {
    std::fflush(stdout);
    ::dup2(saved_, STDOUT_FILENO);
    ::close(saved_);
    ::unlink(path_.c_str());
}

std::string StdoutCapture::text() {
    std::fflush(stdout);
    const auto bytes = read_file(path_);
    return {bytes.begin(), bytes.end()};
}

}  // namespace testing_support
