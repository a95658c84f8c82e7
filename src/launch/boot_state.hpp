// Trial boots of newly installed application images. Turned on by the boot
// loader's "bootlimit=N"; without it nothing here reads or writes anything,
// and the switch starts as it always has.
//
// A newly installed image is on trial for N starts: each start takes one
// before the application runs, and the application confirms that it works
// (switch-ops confirm). An image whose starts run out unconfirmed is given
// up and the other slot boots; when both are given up the rescue menu is
// offered instead of a boot loop. The record lives beside the slots in
// /user/images/boot-state, 40 bytes, big-endian:
//
//   0  "BLBS"          4  layout (1)      5  slot of the last trial start
//   6  flags: bit 0, that start is not confirmed yet
//   7  the slot given up last (0: none)
//   8  image 1: status (0 good, 1 trial, 2 given up), starts left, limit,
//      reason (1: never confirmed), the CRC word of its image header
//  16  image 2: the same        24  lowest security counter accepted
//  28  image 1's security counter (from its signed container; 0: none)
//  32  image 2's                36  CRC-32 of bytes 0..35
//
// It is written beside the old one and renamed over it, so a power cut
// leaves the old record or the new one; a torn or foreign file reads as no
// record (both images good). The VPD bytes keep their meaning; while trial
// boots are on, each is written only when its value changes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace bootstate {

inline constexpr const char* kStatePath = "/user/images/boot-state";
inline constexpr std::size_t kRecordSize = 40;

enum class Status : std::uint8_t { Good = 0, Trial = 1, Bad = 2 };
enum class Reason : std::uint8_t { None = 0, NeverConfirmed = 1 };

struct SlotState {
    Status status = Status::Good;
    std::uint8_t left = 0;   // starts left while on trial
    std::uint8_t limit = 0;  // starts it had when installed
    Reason reason = Reason::None;
    std::uint32_t image_crc = 0;  // which image the entry is about
    std::uint32_t security = 0;   // its signed container's security counter
};

struct Record {
    std::uint8_t booted = 0;  // slot of the last trial start
    bool unconfirmed = false;
    std::uint8_t given_up = 0;
    std::array<SlotState, 2> slots{};
    std::uint32_t min_security = 0;

    SlotState& slot(int n) { return slots[n == 2 ? 1 : 0]; }
    const SlotState& slot(int n) const { return slots[n == 2 ? 1 : 0]; }
};

std::array<std::uint8_t, kRecordSize> encode(const Record& r);
// The record, or nothing for bytes that are not an intact record.
std::optional<Record> decode(std::span<const std::uint8_t> bytes);

// The record on the flash, or nothing; store() replaces it crash-safely.
std::optional<Record> load();
bool store(const Record& r);

// True when the boot loader's settings turn trial boots on.
bool enabled();

// Forgets what this start has read and done (for tests that start the
// switch more than once in one process).
void forget_start();

// --- the start --------------------------------------------------------------
// The slot to start instead of `requested` (the VPD's boot slot), giving up
// a trial image whose starts have run out; 0 when neither slot may start.
int choose_slot(int requested);
// The image in `slot` passed its checksum and is about to be unpacked and
// started: records the booted image and takes a trial start. False when the
// slot was given up (then the caller offers the rescue menu).
bool starting(int slot);
// The operator left the rescue menu offered for lack of an image: the boot
// slot then starts whatever its record says.
void operator_override();
void checksum_failed(int slot);
// Right before the application runs: a trial start arms the watchdog and
// the confirmation timer that the settings ask for (neither under a
// debugger).
void before_application(bool debugging);

// --- installs -----------------------------------------------------------------
// An application image was written whole into `slot`, which becomes the boot
// slot: it goes on trial. `security` is its signed container's security
// counter (0: unsigned), which becomes the switch's lowest accepted one once
// the image is confirmed.
void installed(int slot, std::uint32_t security = 0);
// The lowest security counter a signed container may carry, and raising it
// (at once: for a container installed without a trial).
std::uint32_t min_security();
void raise_min_security(std::uint32_t counter);
// Makes `slot` the VPD's boot slot (with trial boots on, only if it is not
// already).
void set_boot_slot(int slot);

// An event of another part of the switch (a network install, say) for the
// event log; nothing without trial boots.
void log_event(const char* text);

// --- the operator and the application -------------------------------------------
enum class Confirmed { Now, Already, Failed };
// Marks the image of the last trial start good and stops the watchdog that
// start armed; `by` ends the event's text ("" or " by the launcher after
// 60 s").
Confirmed confirm(const char* by);
// The record for people, or as one JSON object.
void print(bool json);

}  // namespace bootstate
