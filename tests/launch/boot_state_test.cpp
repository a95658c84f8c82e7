// Trial boots: an image installed with "bootlimit=3" starts at most three
// times unconfirmed before the other slot takes over, and the record that
// counts the starts survives power cuts and never wears the VPD or the flash
// on the starts of a confirmed image.
#include "launch/boot_state.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <set>
#include <string>

#include "hw/i2c.hpp"
#include "image/container.hpp"
#include "image/crc.hpp"
#include "image/installer.hpp"
#include "image/section_writer.hpp"
#include "launch/event_log.hpp"
#include "launch/settings.hpp"
#include "launch/startup.hpp"
#include "platform/sim/sim.hpp"
#include "support/switch_fixture.hpp"
#include "support/switch_root.hpp"
#include "support/testing.hpp"

namespace {

using bootstate::Status;
using testing_support::read_file;
using testing_support::StdoutCapture;
using testing_support::write_file;
using Bytes = std::vector<std::uint8_t>;

// The EEPROM's 100 ms write time runs in 10: longer than the part needs.
const bool fast_clock = ::setenv("BOOTLAUNCH_SIM_CLOCK", "10", 0) == 0;

Bytes app_image(std::uint32_t id, std::uint8_t seed) {
    Bytes payload(3000);
    for (std::size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<std::uint8_t>(seed * 7 + i);
    return image::build_section({image::code(image::ImageType::Application), id, 0, false},
                                payload);
}

Bytes as_bytes(std::string_view s) {
    return Bytes(s.begin(), s.end());
}

// The events on record, oldest first.
std::vector<std::string> events_on_record() {
    std::vector<std::string> lines;
    const Bytes log =
        std::filesystem::exists(events::kLogPath) ? read_file(events::kLogPath) : Bytes{};
    events::for_each(log, [&](std::uint32_t, std::string_view text) { lines.emplace_back(text); });
    return lines;
}

TEST(BootStateRecord, OnlyAnIntactRecordIsRead) {
    bootstate::Record r;
    r.booted = 2;
    r.unconfirmed = true;
    r.slot(2) = {Status::Trial, 1, 3, bootstate::Reason::None, 0x12345678};
    const auto bytes = bootstate::encode(r);
    const auto back = bootstate::decode(bytes);
    ASSERT_TRUE(back);
    EXPECT_EQ(bootstate::encode(*back), bytes);
    // A torn file, one with a byte more, and every single flipped bit.
    EXPECT_FALSE(bootstate::decode(std::span(bytes).first(bootstate::kRecordSize - 1)));
    Bytes longer(bytes.begin(), bytes.end());
    longer.push_back(0);
    EXPECT_FALSE(bootstate::decode(longer));
    for (std::size_t bit = 0; bit < bytes.size() * 8; ++bit) {
        auto flipped = bytes;
        flipped[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
        EXPECT_FALSE(bootstate::decode(flipped)) << "bit " << bit;
    }
}

TEST(EventLogLines, TornAndForeignLinesAreNeverShown) {
    // Two lines as the switch writes them, with the checksum worked out bit
    // by bit here.
    const auto line = [](const std::string& body) {
        char crc[9];
        std::snprintf(
            crc, sizeof crc, "%08x",
            image::gen_crc_bitwise(reinterpret_cast<const std::uint8_t*>(body.data()),
                                   static_cast<std::uint32_t>(body.size()), image::kCrcInit));
        return std::string(crc) + " " + body + "\n";
    };
    const std::string good1 = line("000001 install: image 2 (1.0.0.9), on trial for 3 starts");
    const std::string good2 = line("000002 trial start: image 2 (1.0.0.9), start 1 of 3");
    std::string damaged = good2;
    damaged[20] ^= 0x01;
    const std::string torn = good1.substr(0, good1.size() / 2);
    const std::string log =
        good1 + damaged + "garbage without a checksum\n" + torn + "\n" + good2 + torn;
    std::vector<std::string> shown;
    events::for_each(as_bytes(log), [&](std::uint32_t n, std::string_view text) {
        shown.push_back(std::to_string(n) + " " + std::string(text));
    });
    EXPECT_EQ(shown,
              (std::vector<std::string>{"1 install: image 2 (1.0.0.9), on trial for 3 starts",
                                        "2 trial start: image 2 (1.0.0.9), start 1 of 3"}));
}

class TrialBoots : public testing_support::SwitchTest<> {
protected:
    void SetUp() override {
        SwitchTest::SetUp();
        if (IsSkipped()) return;
        settings::reset_boot_settings();
        boot_limit = 3;
        bootstate::forget_start();
        ::mkdir(install::kSlotDir, 0755);
        write_file(install::slot_path(1), app_image(0x01000001, 1));
        write_file(install::slot_path(2), app_image(0x01000002, 2));
        board->set_eeprom(vpd::kBootSlot, 1);
    }
    void TearDown() override {
        settings::reset_boot_settings();
        bootstate::forget_start();
        SwitchTest::TearDown();
    }

    // An install of a new image into `slot`, as the installer finishes one.
    void install(int slot, std::uint32_t id) {
        write_file(install::slot_path(slot), app_image(id, static_cast<std::uint8_t>(id)));
        StdoutCapture out;
        bootstate::installed(slot);
        bootstate::set_boot_slot(slot);
    }

    // One power-on up to the application's start: the slot that starts (0:
    // none); `console` holds what it said.
    int power_on() {
        bootstate::forget_start();
        StdoutCapture out;
        const int slot = bootstate::choose_slot(which_image());
        if (slot != 0 && !bootstate::starting(slot)) return -1;
        std::fflush(stdout);
        console = out.text();
        return slot;
    }

    bootstate::Record record() {
        const auto r = bootstate::load();
        EXPECT_TRUE(r);
        return r.value_or(bootstate::Record{});
    }

    std::string console;
};

TEST_F(TrialBoots, AnUnconfirmedImageStartsItsLimitThenTheOtherSlotBoots) {
    install(2, 0x01000009);
    EXPECT_EQ(board->eeprom(vpd::kBootSlot), 2);
    for (int k = 1; k <= 3; ++k) {
        EXPECT_EQ(power_on(), 2);
        EXPECT_EQ(console, "Trial start " + std::to_string(k) +
                               " of 3 of image 2: the "
                               "application must confirm it\n");
        EXPECT_EQ(record().slot(2).left, 3 - k);
    }
    EXPECT_EQ(power_on(), 1);
    EXPECT_EQ(console, "image 2 was never confirmed after 3 starts; starting image 1\n");
    EXPECT_EQ(board->eeprom(vpd::kBootSlot), 1);
    EXPECT_EQ(board->eeprom(vpd::kBootedImage), 1);
    EXPECT_EQ(record().slot(2).status, Status::Bad);
    EXPECT_EQ(record().given_up, 2);
    // From then on slot 1 simply boots.
    EXPECT_EQ(power_on(), 1);
    EXPECT_EQ(console, "");
    EXPECT_EQ(events_on_record(),
              (std::vector<std::string>{
                  "install: image 2 (1.0.0.9), on trial for 3 starts",
                  "trial start: image 2 (1.0.0.9), start 1 of 3",
                  "power-on after an unconfirmed start of image 2 (2 of 3 starts left)",
                  "trial start: image 2 (1.0.0.9), start 2 of 3",
                  "power-on after an unconfirmed start of image 2 (1 of 3 starts left)",
                  "trial start: image 2 (1.0.0.9), start 3 of 3",
                  "power-on after an unconfirmed start of image 2 (0 of 3 starts left)",
                  "rollback: image 2 was never confirmed after 3 starts; starting image 1",
              }));
}

TEST_F(TrialBoots, AConfirmedImageKeepsBooting) {
    install(2, 0x01000009);
    EXPECT_EQ(power_on(), 2);
    EXPECT_EQ(bootstate::confirm(""), bootstate::Confirmed::Now);
    EXPECT_EQ(bootstate::confirm(""), bootstate::Confirmed::Already);
    for (int k = 0; k < 5; ++k) {
        EXPECT_EQ(power_on(), 2);
        EXPECT_EQ(console, "");
    }
    EXPECT_EQ(record().slot(2).status, Status::Good);
    EXPECT_EQ(events_on_record().back(), "confirmed: image 2 (1.0.0.9)");
}

TEST_F(TrialBoots, WhenBothImagesAreGivenUpNoneStarts) {
    install(1, 0x01000008);
    install(2, 0x01000009);
    for (int k = 0; k < 3; ++k) EXPECT_EQ(power_on(), 2);
    for (int k = 0; k < 3; ++k) EXPECT_EQ(power_on(), 1);  // the rollback and its 3 starts
    EXPECT_EQ(power_on(), 0);
    EXPECT_EQ(console, "image 1 was never confirmed after 3 starts; no image left to start\n");
    EXPECT_EQ(power_on(), 0);
    EXPECT_EQ(console, "images 1 and 2 were both given up; no image left to start\n");
    // An operator who leaves the rescue menu may still start the boot slot.
    bootstate::operator_override();
    EXPECT_TRUE(bootstate::starting(1));
}

TEST_F(TrialBoots, AnImageThatChangedWithoutItsInstallRecordedIsOnTrial) {
    install(2, 0x01000009);
    power_on();
    bootstate::confirm("");
    // Slot 1 rewritten by a launcher that knows no trial boots, or cut off
    // by a power cut before its install was recorded.
    write_file(install::slot_path(1), app_image(0x01000007, 7));
    board->set_eeprom(vpd::kBootSlot, 1);
    EXPECT_EQ(power_on(), 1);
    EXPECT_EQ(console, "Trial start 1 of 3 of image 1: the application must confirm it\n");
}

TEST_F(TrialBoots, AForeignOrTornRecordCountsAsNone) {
    for (const Bytes& file : {as_bytes("not a boot state"), Bytes(bootstate::kRecordSize, 0xFF)}) {
        write_file(bootstate::kStatePath, file);
        EXPECT_EQ(power_on(), 1);
        EXPECT_EQ(console, "");
        EXPECT_EQ(read_file(bootstate::kStatePath), file);
    }
}

TEST_F(TrialBoots, AThousandConfirmedStartsWriteNeitherTheVpdNorTheFlash) {
    install(2, 0x01000009);
    power_on();
    bootstate::confirm("");
    const auto eeprom_writes = [] {
        int n = 0;
        for (const auto& t : sim::i2c_log())
            if (t.address == 0x54 && t.kind == sim::I2cTransfer::Kind::Write && t.data.size() > 2)
                ++n;
        return n;
    };
    sim::clear_i2c_log();
    const std::uint32_t writes = sim::flash_ops(sim::FlashOp::Write);
    const std::uint32_t erases = sim::flash_ops(sim::FlashOp::Erase);
    for (int k = 0; k < 1000; ++k) ASSERT_EQ(power_on(), 2);
    EXPECT_EQ(eeprom_writes(), 0);
    EXPECT_EQ(sim::flash_ops(sim::FlashOp::Write), writes);
    EXPECT_EQ(sim::flash_ops(sim::FlashOp::Erase), erases);

    // Without the setting every start writes the booted-image byte, as the
    // switch always has.
    boot_limit = 0;
    power_on();
    EXPECT_EQ(eeprom_writes(), 1);
}

TEST_F(TrialBoots, WithoutTheSettingNothingIsRecorded) {
    boot_limit = 0;
    install(2, 0x01000009);
    EXPECT_EQ(board->eeprom(vpd::kBootSlot), 2);
    for (int k = 0; k < 5; ++k) {
        EXPECT_EQ(power_on(), 2);
        EXPECT_EQ(console, "");
    }
    EXPECT_EQ(bootstate::confirm(""), bootstate::Confirmed::Already);
    EXPECT_FALSE(std::filesystem::exists(bootstate::kStatePath));
    EXPECT_FALSE(std::filesystem::exists(events::kLogPath));
}

TEST_F(TrialBoots, TheEventLogKeepsItsNewestLinesUnderItsCap) {
    for (int k = 0; k < 400; ++k) ASSERT_TRUE(events::append("event " + std::to_string(k)));
    EXPECT_LE(std::filesystem::file_size(events::kLogPath), events::kCap);
    const auto lines = events_on_record();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "event 399");
    // The lines that stay are the newest ones, in order.
    const int first = std::stoi(lines.front().substr(6));
    for (std::size_t i = 0; i < lines.size(); ++i)
        EXPECT_EQ(lines[i], "event " + std::to_string(first + static_cast<int>(i)));
}

// Every flash operation of every record and log write is cut in turn, in a
// child that the simulator ends as a board losing power: afterwards the
// record is a whole one (none before the first), each one the uncut run
// went through in its order, and the log holds the uncut run's first lines.
TEST_F(TrialBoots, APowerCutLeavesTheOldRecordOrTheNew) {
    const auto scenario = [&] {
        install(2, 0x01000009);
        for (int k = 0; k < 2; ++k) power_on();
        bootstate::confirm("");
    };
    const auto power_off_state = [&] {
        bootstate::forget_start();
        std::remove(bootstate::kStatePath);
        std::remove(events::kLogPath);
        write_file(install::slot_path(2), app_image(0x01000002, 2));
        board->set_eeprom(vpd::kBootSlot, 1);
    };
    power_off_state();
    scenario();
    const auto all_events = events_on_record();
    const Bytes last = read_file(bootstate::kStatePath);
    std::vector<Bytes> seen;  // the records after the cuts so far, without repeats

    int cuts = 0;
    for (std::uint32_t n = 0;; ++n) {
        ASSERT_LT(n, 200u) << "the scenario never completed";
        power_off_state();
        const int ended = testing_support::run_until_power_cut(n, [&] {
            scenario();
            return 0;
        });
        if (ended == 0) break;
        ASSERT_EQ(ended, sim::kPowerCutStatus);
        ++cuts;
        const Bytes now = std::filesystem::exists(bootstate::kStatePath)
                              ? read_file(bootstate::kStatePath)
                              : Bytes{};
        EXPECT_TRUE(now.empty() || bootstate::decode(now)) << "a torn record, cut at " << n;
        if (seen.empty() || seen.back() != now) seen.push_back(now);
        const auto lines = events_on_record();
        ASSERT_LE(lines.size(), all_events.size());
        EXPECT_TRUE(std::equal(lines.begin(), lines.end(), all_events.begin())) << "cut at " << n;
        // The next start reads what is there and goes on.
        EXPECT_GE(power_on(), 1) << "cut at " << n;
        if (HasFailure()) return;
    }
    std::printf("[ figures  ] power cut at %d operations of the record and the log in turn\n",
                cuts);
    EXPECT_GE(cuts, 15);
    // Each record replaced the one before it once: never back to an older one.
    if (seen.back() != last) seen.push_back(last);
    EXPECT_EQ(std::set<Bytes>(seen.begin(), seen.end()).size(), seen.size());
}

}  // namespace
