// VPD access checked on the wire: the transfers the simulated buses saw, and
// what the EEPROM stored.
#include "hw/i2c.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <tuple>

#include "launch/startup.hpp"
#include "platform/sim/sim.hpp"
#include "support/sim_board.hpp"
#include "support/testing.hpp"

namespace {

using testing_support::PrintTo;
using testing_support::SimBoard;
using Kind = sim::I2cTransfer::Kind;

struct Expected {
    int bus;
    std::uint8_t address;
    Kind kind;
    std::uint8_t command;
    std::vector<std::uint8_t> data;
};

void expect_wire(const std::vector<Expected>& want) {
    const auto& log = sim::i2c_log();
    ASSERT_EQ(log.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        const auto& t = log[i];
        const bool smbus = t.kind == Kind::SmbusRead || t.kind == Kind::SmbusWrite;
        EXPECT_EQ(std::tuple(t.bus, t.address, t.kind, smbus ? t.command : 0, t.data, t.error),
                  std::tuple(want[i].bus, want[i].address, want[i].kind, want[i].command,
                             want[i].data, 0))
            << "transfer " << i;
    }
}

class Vpd : public ::testing::Test {
protected:
    void SetUp() override { sim::set_eeprom_write_time_us(5000); }
    void TearDown() override { api_i2c_close(); }

    std::string init() {
        ::testing::internal::CaptureStdout();
        init_result = api_i2c_init();
        return ::testing::internal::GetCapturedStdout();
    }

    SimBoard board;
    int init_result = 0;
};

TEST_F(Vpd, WritingAByteEnablesWritesThenSendsOffsetAndValue) {
    init();
    ASSERT_EQ(init_result, 0);
    sim::clear_i2c_log();
    EXPECT_EQ(api_set_image(2), 3);
    // Register 4 reads back the pins (0xFF at power-on); register 12 gets
    // that value with the write-protect bit cleared.
    expect_wire({{1, 0x20, Kind::SmbusRead, 4, {0xFF}},
                 {1, 0x20, Kind::SmbusWrite, 12, {0xF7}},
                 {0, 0x54, Kind::Write, 0, {0x01, 0x00, 0x02}}});
    EXPECT_EQ(board.eeprom(vpd::kBootSlot), 2);
    EXPECT_EQ(board.expander(12), 0xF7);
}

TEST_F(Vpd, ReadingAByteSendsTheOffsetHighFirstThenReadsOne) {
    board.set_eeprom(vpd::kBootSlot, 2);
    board.set_eeprom(vpd::kUsbBoot, 0xD5);
    init();
    sim::clear_i2c_log();
    EXPECT_EQ(api_get_image(), 2);
    EXPECT_EQ(api_get_usbboot(), 0xD5);
    expect_wire({{0, 0x54, Kind::Write, 0, {0x01, 0x00}},
                 {0, 0x54, Kind::Read, 0, {0x02}},
                 {0, 0x54, Kind::Write, 0, {0x01, 0x3B}},
                 {0, 0x54, Kind::Read, 0, {0xD5}}});
}

TEST_F(Vpd, Bus0MissingLeavesBus1UnopenedAndNothingReachesTheConsole) {
    board.remove_device("i2c-0");
    EXPECT_EQ(init(), "ERROR: driver /dev/i2c-0 couldn't be opened\n");
    EXPECT_EQ(init_result, -1);
    // Bus 1 was never opened; a VPD write must not fall through to
    // descriptor 0 (the console).
    ::testing::internal::CaptureStdout();
    const int r = api_set_image(1);
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_LT(r, 0);
    EXPECT_EQ(out, "I2C error when setting bus 0: " + std::to_string(EBADF) + "\n");
    EXPECT_TRUE(sim::i2c_log().empty());
}

// A launcher started with its standard input closed: the bus must not get
// descriptor 0, which reads as "not open".
TEST_F(Vpd, BusesWorkWhenTheLauncherStartsWithStandardInputClosed) {
    board.set_eeprom(256, 2);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(0);
        startup::claim_standard_descriptors();
        ::testing::internal::CaptureStdout();
        const int init = api_i2c_init();
        const int slot = api_get_image();
        api_i2c_close();
        _exit(init == 0 && slot == 2 && ::fcntl(0, F_GETFD) != -1 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST_F(Vpd, CloseIsHarmlessWhenNothingIsOpenAndEndsAllAccess) {
    EXPECT_EQ(api_i2c_close(), 0);
    init();
    EXPECT_EQ(api_i2c_close(), 0);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(api_get_image(), 0);
    ::testing::internal::GetCapturedStdout();
    EXPECT_TRUE(sim::i2c_log().empty());
}

TEST_F(Vpd, EachWriteWaitsForTheEepromToStoreIt) {
    // The part is busy for longer than usual; the wait after each write must
    // still cover it, so back-to-back writes all land.
    sim::set_eeprom_write_time_us(60000);
    init();
    api_set_image(1);
    api_set_booted_image(1);
    EXPECT_EQ(board.eeprom(vpd::kBootSlot), 1);
    EXPECT_EQ(board.eeprom(vpd::kBootedImage), 1);
}

// One transfer of a VPD access left unacknowledged, as the device-fault
// campaign does on the powered switch: the caller sees a message and a
// failed result, except where the write-enable step is lost, which is silent
// by design (the protected part acknowledges and keeps its old content).
struct NakCase {
    const char* name;
    bool write;  // a boot-slot write of 2 (else a read of it)
    std::uint32_t nth;
    std::string message;  // what reaches the console
    int result;
    std::uint8_t stored;
};

class VpdNak : public Vpd, public ::testing::WithParamInterface<NakCase> {};

TEST_P(VpdNak, LeavesTheByteAsItWasOrStoresIt) {
    const NakCase& c = GetParam();
    board.set_eeprom(vpd::kBootSlot, 1);
    init();
    sim::fail_nth_i2c_transfer(c.nth);
    ::testing::internal::CaptureStdout();
    const int r = c.write ? api_set_image(2) : api_get_image();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), c.message);
    EXPECT_EQ(r, c.result);
    EXPECT_EQ(board.eeprom(vpd::kBootSlot), c.stored);
    std::size_t failed = 0;
    for (const auto& t : sim::i2c_log()) failed += t.error == ENXIO;
    EXPECT_EQ(failed, 1u);
}

const std::string kNak = std::to_string(ENXIO);

INSTANTIATE_TEST_SUITE_P(
    EachTransfer, VpdNak,
    ::testing::Values(
        NakCase{"WriteWhoseExpanderReadIsLostStillEnablesAndStores", true, 1, "", 3, 2},
        NakCase{"WriteWhoseEnableIsLostIsSwallowedByTheProtectedPart", true, 2, "", 3, 1},
        NakCase{"WriteWhoseEepromTransferIsLostSaysSo", true, 3,
                "I2C error when writing bus 0 offset 256: " + kNak + "\n", -1, 1},
        NakCase{"ReadWhoseDataIsLostSaysSoAndGivesZero", false, 2,
                "I2C error - device 0xa8 @ 256, 1 bytes : " + kNak + "\n", 0, 1}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
