// A GoogleTest fixture for code that runs on the simulated switch: a root
// of its own (switch_root.hpp), erased simulated flash and VPD (SimBoard),
// the buses and partitions opened as the launcher opens them at its start.
// Skips the test where no private root can be had (not root).
#pragma once

#include <gtest/gtest.h>

#include <optional>

#include "hw/flash.hpp"
#include "hw/i2c.hpp"
#include "support/sim_board.hpp"
#include "support/switch_root.hpp"

namespace testing_support {

template <typename Base = ::testing::Test>
class SwitchTest : public Base {
protected:
    void SetUp() override {
        root.emplace();
        if (!root->entered()) GTEST_SKIP() << root->why_not();
        board.emplace();
        api_i2c_init();
        api_flash_init();
    }
    void TearDown() override {
        if (board) api_i2c_close();
    }

    std::optional<SwitchRoot> root;
    std::optional<SimBoard> board;
};

}  // namespace testing_support
