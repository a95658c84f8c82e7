// /init of the test machine: sets up what the switch's start scripts and
// device rules set up (device nodes, the expander's driver, /dev/mtd-NAME
// links), runs the hardware tests, prints a verdict line for the stage and
// powers the machine off.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/reboot.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace {

void mount_or_say(const char* type, const char* where) {
    ::mkdir(where, 0755);
    if (::mount(type, where, type, 0, nullptr) != 0)
        std::printf("stage-init: mount %s on %s: %s\n", type, where, std::strerror(errno));
}

// The console as standard input, output and error (the initramfs has no
// /dev/console node of its own; devtmpfs brings it).
void attach_console() {
    const int fd = ::open("/dev/console", O_RDWR);
    if (fd < 0) return;
    for (int i = 0; i < 3; ++i) ::dup2(fd, i);
    if (fd > 2) ::close(fd);
}

// The I/O expander stands in as i2c-stub with one chip at 0x20: /dev/i2c-1.
void load_expander() {
    const int fd = ::open("/i2c-stub.ko", O_RDONLY | O_CLOEXEC);
    if (fd < 0 || ::syscall(SYS_finit_module, fd, "chip_addr=0x20", 0) != 0)
        std::printf("stage-init: loading i2c-stub: %s\n", std::strerror(errno));
    if (fd >= 0) ::close(fd);
}

// /dev/mtd-NAME -> mtdN for each partition in /proc/mtd, as the switch's
// device rules name them.
void link_partitions() {
    std::ifstream mtd("/proc/mtd");
    char dev[16], name[64];
    for (std::string line; std::getline(mtd, line);) {
        // "mtd4: 00f00000 00010000 \"rfs\"" (the first line is a heading)
        if (std::sscanf(line.c_str(), "%15[^:]: %*x %*x \"%63[^\"]\"", dev, name) != 2) continue;
        const std::string link = std::string("/dev/mtd-") + name;
        if (::symlink(dev, link.c_str()) != 0)
            std::printf("stage-init: %s: %s\n", link.c_str(), std::strerror(errno));
    }
}

}  // namespace

int main(int argc, char** argv) {
    mount_or_say("devtmpfs", "/dev");
    attach_console();
    mount_or_say("proc", "/proc");
    mount_or_say("sysfs", "/sys");
    ::mkdir("/tmp", 01777);  // the initramfs is writable; GoogleTest captures output there
    load_expander();
    link_partitions();
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    ::testing::GTEST_FLAG(color) = "no";
    ::testing::InitGoogleTest(&argc, argv);
    const int status = RUN_ALL_TESTS();
    const auto* unit = ::testing::UnitTest::GetInstance();
    std::printf("kernel-stage: %d passed, %d failed: %s\n", unit->successful_test_count(),
                unit->failed_test_count(), status == 0 ? "PASS" : "FAIL");
    std::fflush(stdout);
    ::sync();
    ::reboot(RB_POWER_OFF);
    return status;
}
