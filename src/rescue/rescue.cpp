#include "rescue/rescue.hpp"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "image/container.hpp"
#include "image/installer.hpp"
#include "launch/boot_state.hpp"
#include "launch/event_log.hpp"
#include "launch/recovery.hpp"
#include "launch/startup.hpp"
#include "mgmt/netinstall.hpp"
#include "platform/clock.hpp"
#include "rescue/console.hpp"
#include "serial/serial.hpp"

namespace {

using image::ImageType;

struct MenuKey {
    char key;
    const char* line;  // nullptr: accepted, not shown
};

// In the order the keys are tested; the menu shows X, R and E.
constexpr MenuKey kMenu[] = {
    {'X', "\t%c) Use xmodem 1K to serial download an image\n"},
    {'U', nullptr},
    {'V', nullptr},
    {'R', "\t%c) Reboot\n"},
    {'D', nullptr},
    {'E', "\t%c) Exit\n"},
    // Only on a switch with trial boots on.
    {'B', "\t%c) Show the boot state and the last events\n"},
    // Only on a switch with a management port.
    {'N', "\t%c) Download and install an image over the network (management port)\n"},
};
constexpr char kShownOrder[] = {'X', 'N', 'B', 'R', 'E'};
constexpr std::size_t kEventsShown = 20;
constexpr const char* kPrompt = "\nOption? : ";
// While zero-touch install tries in the background, the menu looks at it
// this often between keys.
constexpr unsigned kZeroTouchSliceMs = 250;

bool offered(const MenuKey& m) {
    if (m.key == 'B') return bootstate::enabled();
    if (m.key == 'N') return netinstall::port_present();
    return true;
}

// The menu's key; while zero-touch is trying, its tries run between keys and
// the prompt comes again after whatever they printed.
int menu_key() {
    while (netinstall::zero_touch_active()) {
        bool timed_out = false;
        const int key = console_key_within(kZeroTouchSliceMs, timed_out);
        if (!timed_out) return key;
        if (netinstall::zero_touch_tick()) {
            std::printf("%s", kPrompt);
            std::fflush(stdout);
        }
    }
    return uartGetC();
}

constexpr const char* kUsbDir = "/mnt/usb";
constexpr const char* kWorkDir = "/tmp";
constexpr const char* kDownload = "/tmp/image";
constexpr std::uint32_t kAnswerSize = 128;
// "/mnt/usb/" and a name: a name that does not fit is refused, never cut.
constexpr std::size_t kPathSize = kAnswerSize + 16;

struct DirCloser {
    void operator()(DIR* d) const {
        if (d) closedir(d);
    }
};
using UniqueDir = std::unique_ptr<DIR, DirCloser>;

void show_menu() {
    std::puts("Please select one of the following options:");
    for (char shown : kShownOrder)
        for (const auto& m : kMenu)
            if (m.key == shown && offered(m)) std::printf(m.line, m.key);
}

bool accepted(int key) {
    for (const auto& m : kMenu)
        if (m.key == key && offered(m)) return true;
    return false;
}

// Both walks of the stick's directory number the same entries: everything
// that lstat can look at and that is not a directory (links included). An
// entry whose lstat fails is left out of both. The working directory is the
// stick's, so the bare name is enough.
bool listed(const dirent* e) {
    struct stat st {};
    return ::lstat(e->d_name, &st) == 0 && !S_ISDIR(st.st_mode);
}

// Leaves the stick's directory for /tmp on every way out of the USB action.
void leave_stick() {
    if (::chdir(kWorkDir) != 0) std::printf("Cannot change to %s (err %d)\n", kWorkDir, errno);
}

bool enter_stick() {
    return ::chdir(kUsbDir) == 0;
}

void print_version(const char* format, ImageType type, int slot) {
    std::uint8_t copy[image::kHeaderCopySize];
    read_flash_image_header(image::code(type), copy, slot);
    std::printf(format, copy[12], copy[13], copy[14], copy[15]);
}

}  // namespace

int run_rescue_mode() {
    std::puts("Entering Rescue Mode.");
    for (;;) {
        show_menu();
        int selected = 0;
        while (!selected) {
            std::printf("%s", kPrompt);
            std::fflush(stdout);
            const auto key = static_cast<std::uint8_t>(menu_key());
            std::printf("%c\n", key);
            if (sig_quit_raised) {
                sig_quit_raised = 0;
                continue;
            }
            if (key == 0 && console_input_ended()) {
                // Nobody can choose any more: the one way out is a reboot.
                std::puts("Console input ended.");
                board_reset();
            }
            if (key == 0) continue;
            const int upper = std::toupper(key);
            if (accepted(upper))
                selected = upper;
            else
                std::printf("unknown option \"%c\". Please try again\n", upper);
        }
        netinstall::zero_touch_stop("the operator is at the console");
        switch (selected) {
        case 'X':
            run_xmodem_rescue();
            break;
        case 'U':
            run_usb_rescue();
            break;
        case 'V':
            run_image_display();
            break;
        case 'R':
            platform::pause_s(1);
            board_reset();
        case 'D':
            run_standalone_diags();
            break;
        case 'E':
            return 1;
        case 'B':
            run_boot_state_display();
            break;
        case 'N':
            run_network_install();
            break;
        }
        if (sig_quit_raised) sig_quit_raised = 0;
    }
}

int run_usb_rescue() {
    UniqueDir dir(opendir(kUsbDir));
    if (!dir || !enter_stick()) {
        std::puts("Unable to open USB directory. Quitting");
        return 0;
    }
    int count = 0;
    while (const dirent* e = readdir(dir.get()))
        if (listed(e)) std::printf("\t%d: %s\n", ++count, e->d_name);

    std::printf("Choose file number to install (q to quit): ");
    std::fflush(stdout);
    std::uint8_t line[kAnswerSize];
    int number = 0;
    for (;;) {
        get_user_input(line, sizeof line);
        const char* text = reinterpret_cast<const char*>(line);
        if (text[0] == 'q' || text[0] == 'Q' || console_input_ended()) {
            leave_stick();
            return 0;
        }
        if (std::sscanf(text, "%d", &number) == 1) break;
        std::printf("Invalid file number %s. Try again pleas\n", text);
    }
    leave_stick();
    dir.reset();
    if (number <= 0) return 0;

    dir.reset(opendir(kUsbDir));
    if (!dir || !enter_stick()) {
        std::puts("Unable to re-open USB directory. Quitting");
        leave_stick();
        return 0;
    }
    count = 0;
    while (const dirent* e = readdir(dir.get())) {
        if (!listed(e) || ++count != number) continue;
        std::printf("Installing %s\n", e->d_name);
        char path[kPathSize];
        const int length = std::snprintf(path, sizeof path, "%s%c%s", kUsbDir, '/', e->d_name);
        leave_stick();
        if (length < 0 || static_cast<std::size_t>(length) >= sizeof path) {
            std::printf("File name too long to install (at most %d characters)\n",
                        static_cast<int>(sizeof path - std::strlen(kUsbDir) - 2));
            return 0;
        }
        dir.reset();
        return processTesselImage(path, 0, 0);
    }
    leave_stick();
    return 0;
}

int run_xmodem_rescue() {
    std::puts("Running xmodem rescue.....");
    // Whatever an earlier download (or the recovery image's copy) left in
    // /tmp/image must not be installed when this download stores nothing.
    if (std::remove(kDownload) != 0 && errno != ENOENT) {
        std::printf("Cannot remove the old %s (err %d)\n", kDownload, errno);
        return 0;
    }
    const int fd = init_serial();
    startup::run_shell("/usr/bin/rx /tmp/image");
    const bool received = startup::exists(kDownload);
    // Without the port there is no line to switch back, and waiting for
    // Enter on it would never end.
    if (fd >= 0) {
        reset_serial(fd);
        ::close(fd);
    }
    if (!received) return 0;
    return processTesselImage(kDownload, 0, 0);
}

int run_image_display() {
    std::puts("Installed images versions: ");
    print_version("\tBoot image  : %d.%d.%d.%d\n", ImageType::BootLoader, 0);
    print_version("\tRFS image   : %d.%d.%d.%d\n", ImageType::RootFs, 0);
    print_version("\tKernel image: %d.%d.%d.%d\n", ImageType::Kernel, 0);
    print_version("\tDFT image   : %d.%d.%d.%d\n", ImageType::DeviceTree, 0);
    print_version("\tOS image 1  : %d.%d.%d.%d\n", ImageType::Application, 1);
    print_version("\tOS image 2  : %d.%d.%d.%d\n", ImageType::Application, 2);
    return 0;
}

int run_boot_state_display() {
    std::puts("Boot state:");
    bootstate::print(false);
    std::printf("Last %d events:\n", static_cast<int>(kEventsShown));
    if (!events::print_last(kEventsShown)) std::puts("  none on record");
    return 0;
}

int run_standalone_diags() {
    std::printf(
        "Confirm: Erase filesystem? (all saved data, configuration, keys will be lost) y/N: ");
    std::fflush(stdout);
    const int key = uartGetC();
    std::printf("\n");  // the key itself is never shown
    if (key != 0 && std::toupper(key) == 'Y') {
        std::puts("unmount filesystem");
        startup::run_shell("/bin/umount /user &> /dev/null");
        std::puts("\nErasing filesystem for clean install");
        startup::run_shell("flash_eraseall /dev/mtd-user-char");
        std::puts("Mounting...");
        startup::run_shell("/bin/mount -o sync -t jffs2 /dev/mtd-user /user &> /dev/null");
        std::puts("creating default filesystem");
        startup::run_shell("mkdir /user/images &> /dev/null");
    }
    std::puts("Booting diags image...");
    extract_image_from_flash();
    return 1;
}
