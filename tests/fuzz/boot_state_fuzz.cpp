// libFuzzer target: the boot-state record and the event log read from
// arbitrary bytes (a torn, foreign or damaged file on the flash). Besides no
// crash, a record or a log line is used only when its checksum, worked out
// here with zlib, holds; a record read back encodes to the very same bytes.
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

#include "common/bytes.hpp"
#include "launch/boot_state.hpp"
#include "launch/event_log.hpp"

namespace {

// The switch's checksum: the usual CRC-32 without its final inversion.
std::uint32_t switch_crc(const void* data, std::size_t size) {
    return ~static_cast<std::uint32_t>(
        crc32(0, static_cast<const Bytef*>(data), static_cast<uInt>(size)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    if (const auto record = bootstate::decode(bytes)) {
        constexpr std::size_t kCrcAt = bootstate::kRecordSize - 4;
        if (size != bootstate::kRecordSize ||
            bytes::load_be32(bytes.subspan(kCrcAt, 4)) != switch_crc(data, kCrcAt))
            __builtin_trap();
        const auto again = bootstate::encode(*record);
        if (std::memcmp(again.data(), data, size) != 0) __builtin_trap();
        for (const auto& s : record->slots)
            if (s.left > s.limit) __builtin_trap();
    }

    const std::string_view all(reinterpret_cast<const char*>(data), size);
    events::for_each(bytes, [&](std::uint32_t, std::string_view text) {
        // The text lies inside the input, on one line whose checksum holds.
        const char* begin = text.data();
        if (begin < all.data() || begin + text.size() > all.data() + all.size()) __builtin_trap();
        if (text.find('\n') != std::string_view::npos) __builtin_trap();
        const std::size_t line_at = static_cast<std::size_t>(begin - all.data()) - 16;
        std::uint32_t stated = 0;
        for (std::size_t i = 0; i < 8; ++i) {
            const char c = all[line_at + i];
            stated = stated << 4 | static_cast<std::uint32_t>(c <= '9' ? c - '0' : c - 'a' + 10);
        }
        if (stated != switch_crc(all.data() + line_at + 9, text.size() + 7)) __builtin_trap();
    });
    return 0;
}
