#include "launch/boot_state.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "common/bytes.hpp"
#include "common/unique_fd.hpp"
#include "hw/i2c.hpp"
#include "hw/watchdog.hpp"
#include "image/container.hpp"
#include "image/crc.hpp"
#include "image/installer.hpp"
#include "launch/event_log.hpp"
#include "launch/settings.hpp"
#include "platform/clock.hpp"
#include "platform/device.hpp"

namespace bootstate {

namespace {

constexpr std::uint8_t kMagic[4] = {'B', 'L', 'B', 'S'};
constexpr std::uint8_t kLayout = 1;
constexpr std::uint8_t kUnconfirmed = 0x01;
constexpr std::size_t kCrcOffset = kRecordSize - 4;
constexpr const char* kNewState = "/user/images/boot-state.new";

// The record of this start, read once.
struct Held {
    bool loaded = false;
    std::optional<Record> record;
    int trial_slot = 0;  // the slot this start takes a trial start of
    bool override = false;
};
Held& held() {
    static Held h;
    return h;
}

std::optional<Record>& current() {
    Held& h = held();
    if (!h.loaded) {
        h.record = load();
        h.loaded = true;
    }
    return h.record;
}

int other(int slot) {
    return slot == 1 ? 2 : 1;
}

// The CRC word of the image header in a slot, naming the image there; 0
// when the slot holds none.
std::uint32_t slot_image_crc(int slot) {
    common::UniqueFile f(std::fopen(install::slot_path(slot), "rb"));
    std::uint8_t word[4] = {};
    if (!f || std::fread(word, 1, sizeof word, f.get()) != sizeof word) return 0;
    return bytes::load_be32(word);
}

// "1.0.0.9", or "none" for a slot without an image.
struct Version {
    char text[16] = "none";
    const char* c_str() const { return text; }
};
Version slot_version(int slot) {
    Version v;
    common::UniqueFile f(std::fopen(install::slot_path(slot), "rb"));
    std::uint8_t header[image::kHeaderCopySize] = {};
    if (f && std::fread(header, 1, sizeof header, f.get()) == sizeof header)
        std::snprintf(v.text, sizeof v.text, "%u.%u.%u.%u", header[12], header[13], header[14],
                      header[15]);
    return v;
}

void note(const char* format, ...) __attribute__((format(printf, 1, 2)));
void note(const char* format, ...) {
    char text[events::kMaxLine + 1];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    events::append(text);
}

// A record for a switch that had none: both images as they are, good.
Record fresh_record() {
    Record r;
    for (int s = 1; s <= 2; ++s) r.slot(s).image_crc = slot_image_crc(s);
    return r;
}

void give_up(Record& r, int slot) {
    SlotState& s = r.slot(slot);
    s.status = Status::Bad;
    s.reason = Reason::NeverConfirmed;
    r.given_up = static_cast<std::uint8_t>(slot);
}

const char* plural(int n) {
    return n == 1 ? "" : "s";
}

bool usable(const SlotState& s) {
    return s.status == Status::Good || (s.status == Status::Trial && s.left > 0);
}

// The VPD byte at `offset` set to `value`, written only when it differs.
void set_vpd_if_changed(std::uint16_t offset, std::uint8_t value) {
    std::uint8_t now = 0;
    if (get_vpd_offset(offset, 1, &now) == 1 && now == value) return;
    set_vpd_offset(offset, value);
}

const char* status_name(Status s) {
    switch (s) {
    case Status::Good:
        return "good";
    case Status::Trial:
        return "trial";
    case Status::Bad:
        return "bad";
    }
    return "?";
}

// Confirms the start after `seconds` of running, unless the application has
// ended by then: a child of the launcher that the application inherits.
void confirm_later(int seconds) {
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t application = ::getpid();
    const pid_t child = ::fork();
    if (child != 0) return;
    // Off the console's signals: Ctrl-C is meant for the application.
    ::signal(SIGINT, SIG_IGN);
    ::signal(SIGQUIT, SIG_IGN);
    for (int i = 0; i < seconds; ++i) {
        platform::pause_s(1);
        if (::getppid() != application) ::_exit(0);
    }
    char by[48];
    std::snprintf(by, sizeof by, " by the launcher after %d s", seconds);
    confirm(by);
    ::_exit(0);
}

}  // namespace

std::array<std::uint8_t, kRecordSize> encode(const Record& r) {
    std::array<std::uint8_t, kRecordSize> b{};
    std::memcpy(b.data(), kMagic, sizeof kMagic);
    b[4] = kLayout;
    b[5] = r.booted;
    b[6] = r.unconfirmed ? kUnconfirmed : 0;
    b[7] = r.given_up;
    for (std::size_t i = 0; i < 2; ++i) {
        const SlotState& s = r.slots[i];
        std::uint8_t* e = b.data() + 8 + 8 * i;
        e[0] = static_cast<std::uint8_t>(s.status);
        e[1] = s.left;
        e[2] = s.limit;
        e[3] = static_cast<std::uint8_t>(s.reason);
        bytes::store_be32(std::span(e + 4, 4), s.image_crc);
    }
    bytes::store_be32(std::span(b).subspan(24, 4), r.min_security);
    bytes::store_be32(std::span(b).subspan(28, 4), r.slots[0].security);
    bytes::store_be32(std::span(b).subspan(32, 4), r.slots[1].security);
    bytes::store_be32(std::span(b).subspan(kCrcOffset, 4),
                      image::crc_of(std::span(b).first(kCrcOffset)));
    return b;
}

std::optional<Record> decode(std::span<const std::uint8_t> b) {
    if (b.size() != kRecordSize || std::memcmp(b.data(), kMagic, sizeof kMagic) != 0 ||
        b[4] != kLayout)
        return std::nullopt;
    if (bytes::load_be32(b.subspan(kCrcOffset, 4)) != image::crc_of(b.first(kCrcOffset)))
        return std::nullopt;
    Record r;
    if (b[5] > 2 || (b[6] & ~kUnconfirmed) != 0 || b[7] > 2) return std::nullopt;
    r.booted = b[5];
    r.unconfirmed = (b[6] & kUnconfirmed) != 0;
    r.given_up = b[7];
    for (std::size_t i = 0; i < 2; ++i) {
        const std::uint8_t* e = b.data() + 8 + 8 * i;
        if (e[0] > static_cast<std::uint8_t>(Status::Bad) ||
            e[3] > static_cast<std::uint8_t>(Reason::NeverConfirmed) || e[1] > e[2] ||
            e[2] > settings::kMaxBootLimit)
            return std::nullopt;
        SlotState& s = r.slots[i];
        s.status = static_cast<Status>(e[0]);
        s.left = e[1];
        s.limit = e[2];
        s.reason = static_cast<Reason>(e[3]);
        s.image_crc = bytes::load_be32(std::span(e + 4, 4));
    }
    r.min_security = bytes::load_be32(b.subspan(24, 4));
    r.slots[0].security = bytes::load_be32(b.subspan(28, 4));
    r.slots[1].security = bytes::load_be32(b.subspan(32, 4));
    return r;
}

std::optional<Record> load() {
    common::UniqueFile f(std::fopen(kStatePath, "rb"));
    if (!f) return std::nullopt;
    std::uint8_t raw[kRecordSize + 1];
    const std::size_t n = std::fread(raw, 1, sizeof raw, f.get());
    return decode(std::span(raw, n));
}

bool store(const Record& r) {
    const auto bytes = encode(r);
    ::mkdir(install::kSlotDir, 0777);
    dev::UniqueFd out(dev::open(kNewState, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!out || dev::write(out.get(), bytes.data(), bytes.size()) !=
                    static_cast<ssize_t>(bytes.size()) ||
        dev::fsync(out.get()) != 0 || dev::close(out.release()) != 0 ||
        dev::rename(kNewState, kStatePath) != 0) {
        std::printf("Boot state not saved (err %d)\n", errno);
        return false;
    }
    Held& h = held();
    h.record = r;
    h.loaded = true;
    return true;
}

bool enabled() {
    return boot_limit > 0;
}

void log_event(const char* text) {
    if (enabled()) events::append(text);
}

int choose_slot(int requested) {
    if (!enabled()) return requested;
    std::optional<Record>& rec = current();
    bool dirty = false;
    if (rec) {
        // An image that changed without its install being recorded (a power
        // cut right after it was written, or a launcher without trial boots)
        // has proved nothing yet.
        for (int s = 1; s <= 2; ++s) {
            const std::uint32_t crc = slot_image_crc(s);
            if (crc == 0 || crc == rec->slot(s).image_crc) continue;
            rec->slot(s) = {Status::Trial, static_cast<std::uint8_t>(boot_limit),
                            static_cast<std::uint8_t>(boot_limit), Reason::None, crc};
            note("image %d (%s) is new to the boot state: on trial for %d start%s", s,
                 slot_version(s).c_str(), boot_limit, plural(boot_limit));
            dirty = true;
        }
        if (rec->unconfirmed) {
            const SlotState& s = rec->slot(rec->booted);
            note("power-on after an unconfirmed start of image %d (%d of %d starts left)",
                rec->booted, s.left, s.limit);
            rec->unconfirmed = false;
            dirty = true;
        }
    }
    int slot = requested == 2 ? 2 : 1;
    if (rec && !usable(rec->slot(slot))) {
        SlotState& s = rec->slot(slot);
        const int alt = other(slot);
        SlotState& a = rec->slot(alt);
        const bool alt_usable = usable(a);
        if (s.status == Status::Trial) {
            give_up(*rec, slot);
            if (alt_usable) {
                std::printf("image %d was never confirmed after %d start%s; starting image %d\n",
                            slot, s.limit, plural(s.limit), alt);
                note("rollback: image %d was never confirmed after %d start%s; starting image %d",
                     slot, s.limit, plural(s.limit), alt);
            } else {
                std::printf(
                    "image %d was never confirmed after %d start%s; no image left to start\n", slot,
                    s.limit, plural(s.limit));
                note("image %d was never confirmed after %d start%s; no image left to start", slot,
                     s.limit, plural(s.limit));
            }
        } else if (alt_usable) {
            std::printf("image %d was given up; starting image %d\n", slot, alt);
        } else {
            std::printf("images 1 and 2 were both given up; no image left to start\n");
        }
        // The other one may have run out of starts as well.
        if (a.status == Status::Trial && !alt_usable) give_up(*rec, alt);
        dirty = true;
        if (alt_usable) {
            set_boot_slot(alt);
            slot = alt;
        } else {
            slot = 0;
        }
    }
    if (dirty) store(*rec);
    if (slot == 0) note("rescue menu: no image left to start");
    return slot;
}

bool starting(int slot) {
    if (!enabled() || (slot != 1 && slot != 2)) {
        api_set_booted_image(static_cast<std::uint8_t>(slot));
        return true;
    }
    set_vpd_if_changed(vpd::kBootedImage, static_cast<std::uint8_t>(slot));
    std::optional<Record>& rec = current();
    if (!rec) return true;
    SlotState& s = rec->slot(slot);
    if (s.status == Status::Bad && !held().override) {
        std::printf("image %d was given up and is not started again\n", slot);
        return false;
    }
    if (s.status != Status::Trial || s.left == 0) return true;
    const int start = s.limit - s.left + 1;
    --s.left;
    rec->booted = static_cast<std::uint8_t>(slot);
    rec->unconfirmed = true;
    store(*rec);
    std::printf("Trial start %d of %d of image %d: the application must confirm it\n", start,
                s.limit, slot);
    note("trial start: image %d (%s), start %d of %d", slot, slot_version(slot).c_str(), start,
        s.limit);
    held().trial_slot = slot;
    return true;
}

void forget_start() {
    held() = Held{};
}

void operator_override() {
    held().override = true;
}

void checksum_failed(int slot) {
    if (!enabled()) return;
    note("checksum failed: image %d", slot);
}

void before_application(bool debugging) {
    const int slot = held().trial_slot;
    if (slot == 0 || debugging) return;
    if (boot_watchdog > 0) {
        if (watchdog::arm(boot_watchdog))
            std::printf("Watchdog armed: %d s for image %d to confirm its start\n", boot_watchdog,
                        slot);
        else
            std::printf("No watchdog on this board: a hang of image %d is not caught\n", slot);
    }
    if (boot_confirm_after > 0) confirm_later(boot_confirm_after);
}

void installed(int slot, std::uint32_t security) {
    if (!enabled()) return;
    std::optional<Record>& rec = current();
    Record r = rec ? *rec : fresh_record();
    r.slot(slot) = {Status::Trial, static_cast<std::uint8_t>(boot_limit),
                    static_cast<std::uint8_t>(boot_limit), Reason::None, slot_image_crc(slot),
                    security};
    if (r.booted == slot) r.unconfirmed = false;
    if (store(r))
        note("install: image %d (%s), on trial for %d start%s", slot, slot_version(slot).c_str(),
             boot_limit, plural(boot_limit));
}

std::uint32_t min_security() {
    const std::optional<Record>& rec = current();
    return rec ? rec->min_security : 0;
}

void raise_min_security(std::uint32_t counter) {
    std::optional<Record>& rec = current();
    Record r = rec ? *rec : fresh_record();
    if (counter <= r.min_security) return;
    r.min_security = counter;
    if (store(r)) note("security: the lowest counter accepted is now %u", counter);
}

void set_boot_slot(int slot) {
    if (!enabled()) {
        api_set_image(static_cast<std::uint8_t>(slot));
        return;
    }
    set_vpd_if_changed(vpd::kBootSlot, static_cast<std::uint8_t>(slot));
}

Confirmed confirm(const char* by) {
    std::optional<Record> rec = load();
    if (!rec || !rec->unconfirmed || rec->booted == 0 ||
        rec->slot(rec->booted).status != Status::Trial)
        return Confirmed::Already;
    const int slot = rec->booted;
    SlotState& s = rec->slot(slot);
    s.status = Status::Good;
    s.left = 0;
    s.reason = Reason::None;
    rec->unconfirmed = false;
    // An image that proved itself takes the switch's minimum up to its own
    // security counter: nothing older can be installed again.
    const bool raised = s.security > rec->min_security;
    if (raised) rec->min_security = s.security;
    if (!store(*rec)) return Confirmed::Failed;
    note("confirmed: image %d (%s)%s", slot, slot_version(slot).c_str(), by);
    if (raised) note("security: the lowest counter accepted is now %u", s.security);
    // The watchdog of the trial start has done its part.
    watchdog::disarm();
    return Confirmed::Now;
}

void print(bool json) {
    const std::optional<Record> rec = load();
    if (json) {
        if (!rec) {
            std::puts("{\"recorded\": false}");
            return;
        }
        std::printf("{\"recorded\": true, \"images\": [");
        for (int s = 1; s <= 2; ++s) {
            const SlotState& e = rec->slot(s);
            std::printf("%s{\"slot\": %d, \"status\": \"%s\", \"starts_left\": %d, \"limit\": %d, "
                        "\"reason\": %s, \"version\": \"%s\", \"security\": %u}",
                        s == 1 ? "" : ", ", s, status_name(e.status), e.left, e.limit,
                        e.reason == Reason::NeverConfirmed ? "\"never confirmed\"" : "null",
                        slot_version(s).c_str(), static_cast<unsigned>(e.security));
        }
        std::printf("], \"last_trial_start\": %d, \"unconfirmed\": %s, \"given_up\": %d, "
                    "\"min_security\": %u}\n",
                    rec->booted, rec->unconfirmed ? "true" : "false", rec->given_up,
                    static_cast<unsigned>(rec->min_security));
        return;
    }
    if (!rec) {
        std::puts("No boot state on record: both images count as good.");
        return;
    }
    for (int s = 1; s <= 2; ++s) {
        const SlotState& e = rec->slot(s);
        std::printf("  image %d (%s): %s", s, slot_version(s).c_str(), status_name(e.status));
        if (e.status == Status::Trial) std::printf(", %d of %d starts left", e.left, e.limit);
        if (e.status == Status::Bad)
            std::printf(", never confirmed after %d start%s", e.limit, plural(e.limit));
        if (e.security) std::printf(", security counter %u", static_cast<unsigned>(e.security));
        std::printf("\n");
    }
    if (rec->min_security)
        std::printf("  lowest security counter accepted: %u\n",
                    static_cast<unsigned>(rec->min_security));
    if (rec->unconfirmed) std::printf("  the last start, of image %d, is not confirmed\n", rec->booted);
    if (rec->given_up) std::printf("  last given up: image %d\n", rec->given_up);
}

}  // namespace bootstate
