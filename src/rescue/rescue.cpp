#include "rescue/rescue.hpp"

#include <cctype>
#include <cstdio>

#include "launch/recovery.hpp"
#include "launch/startup.hpp"
#include "rescue/console.hpp"

// The menu itself is not built yet: it says so and returns as if the
// operator had chosen to leave it.
int run_rescue_mode() {
    std::puts("Entering Rescue Mode.");
    std::puts("The rescue menu is not built yet; leaving it.");
    return 1;
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
