// libFuzzer target: the installer's walk and the boot path's slot scan on
// arbitrary containers, as they arrive from a USB stick or an XMODEM
// download. Runs in a private root (needs root) with simulated flash.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "hw/flash.hpp"
#include "hw/i2c.hpp"
#include "image/installer.hpp"
#include "launch/extract.hpp"
#include "support/sim_board.hpp"
#include "support/switch_root.hpp"

namespace {

constexpr const char* kInput = "/scratch/fuzz.img";

// Both live as long as the process and are never destroyed, so that nothing
// of the simulator is torn down under the fuzzer's exit.
testing_support::SwitchRoot* root;
testing_support::SimBoard* board;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    ::setenv("BOOTLAUNCH_SIM_CLOCK", "1000", 1);
    root = new testing_support::SwitchRoot("64m", true);
    if (!root->entered()) {
        std::fprintf(stderr, "installer_fuzz: %s\n", root->why_not().c_str());
        std::exit(1);
    }
    board = new testing_support::SimBoard;
    api_i2c_init();
    api_flash_init();
    // The installer talks a lot; libFuzzer reports on standard error.
    if (!std::freopen("/dev/null", "w", stdout)) std::exit(1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::FILE* f = std::fopen(kInput, "wb");
    if (!f) std::abort();
    std::fwrite(data, 1, size, f);
    std::fclose(f);

    // Slot 1 is named, so no question is asked and nothing is booted.
    const std::uint8_t skip_same = size > 0 ? data[0] & 1 : 0;
    processTesselImage(kInput, skip_same, 1);

    f = std::fopen(kInput, "rb");
    std::uint8_t header[20];
    parse_image(f, header);
    std::fclose(f);
    return 0;
}
