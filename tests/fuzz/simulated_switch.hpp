// The setting of the fuzz targets that run the launcher's own code paths: a
// private root that looks like the switch's (needs root), the simulated
// hardware behind the device seam, and a fast clock for the switch's waits.
#pragma once

#include <cstdio>
#include <cstdlib>

#include "support/sim_board.hpp"
#include "support/switch_root.hpp"

namespace fuzz {

// Enters the switch's root and returns its board. Both live as long as the
// process and are never destroyed, so that nothing of the simulator is torn
// down under the fuzzer's exit.
inline testing_support::SimBoard* enter_simulated_switch(const char* target) {
    ::setenv("BOOTLAUNCH_SIM_CLOCK", "1000", 1);
    static auto* root = new testing_support::SwitchRoot("64m", true);
    if (!root->entered()) {
        std::fprintf(stderr, "%s: %s\n", target, root->why_not().c_str());
        std::exit(1);
    }
    static auto* board = new testing_support::SimBoard;
    return board;
}

}  // namespace fuzz
