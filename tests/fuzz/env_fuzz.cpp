// libFuzzer target: the boot settings read from a boot-loader environment
// partition of arbitrary bytes (a damaged or foreign partition). Besides no
// crash and no read outside the partition, every switch ends as 0 or 1, and
// the remote debugging server implies the debugger.
#include <cstdint>
#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <vector>

#include "hw/flash.hpp"
#include "launch/settings.hpp"
#include "support/sim_board.hpp"

namespace {

testing_support::SimBoard* board;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    board = new testing_support::SimBoard;
    if (api_flash_init() != 0) std::abort();
    if (!std::freopen("/dev/null", "w", stdout)) std::exit(1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The fuzzed bytes from the partition's start over erased flash, as far
    // as the settings are looked for (the partition keeps its size).
    std::vector<std::uint8_t> head(settings::kEnvOffset + settings::kEnvWindow + 64, 0xFF);
    std::copy(data, data + std::min(size, head.size()), head.begin());
    std::FILE* f = std::fopen(board->dev("mtd-ubootenv").c_str(), "r+b");
    if (!f || std::fwrite(head.data(), 1, head.size(), f) != head.size()) std::abort();
    std::fclose(f);

    settings::reset_boot_settings();
    parse_uboot_env();
    const bool flags = gdb_enable <= 1 && gdbserver_enable <= 1 && shell_enable <= 1 &&
                       memchk_enable <= 1 && rescue_enable <= 1 && standalone_diags <= 1 &&
                       gdb_enable >= 0 && gdbserver_enable >= 0 && rescue_enable >= 0 &&
                       standalone_diags >= 0;
    if (!flags || (gdbserver_enable && !gdb_enable)) __builtin_trap();
    return 0;
}
