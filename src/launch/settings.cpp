#include "launch/settings.hpp"

#include <cctype>
#include <climits>
#include <cstring>
#include <memory>
#include <new>

#include "hw/flash.hpp"

std::int32_t gdb_enable = 0;
std::int32_t gdbserver_enable = 0;
std::int32_t gdbport = settings::kDefaultGdbPort;
std::uint8_t shell_enable = 0;
std::uint8_t memchk_enable = 0;
std::int32_t rescue_enable = 0;
std::int32_t standalone_diags = 0;
std::int32_t boot_limit = 0;
std::int32_t boot_confirm_after = 0;
std::int32_t boot_watchdog = 0;
std::uint8_t zero_touch_enable = 0;

namespace {

// The value that follows the first occurrence of key anywhere in the
// environment text, or nullptr. A plain substring search, not anchored to the
// start of a variable: boards in the field are set up against this reading,
// so a key text inside an earlier value counts from there.
const char* find_value(const char* env, const char* key) {
    const char* at = std::strstr(env, key);
    return at ? at + std::strlen(key) : nullptr;
}

bool begins_with(const char* value, const char* word) {
    return std::strncmp(value, word, std::strlen(word)) == 0;
}

// A decimal number as "%d" reads it (leading white space, optional sign).
// A number that does not fit an int is not taken.
bool read_decimal(const char* s, std::int32_t& out) {
    while (std::isspace(static_cast<unsigned char>(*s))) ++s;
    bool negative = false;
    if (*s == '+' || *s == '-') negative = *s++ == '-';
    if (!std::isdigit(static_cast<unsigned char>(*s))) return false;
    long long v = 0;
    for (; std::isdigit(static_cast<unsigned char>(*s)); ++s) {
        v = v * 10 + (*s - '0');
        if (v > static_cast<long long>(INT_MAX) + 1) return false;
    }
    if (negative) v = -v;
    if (v > INT_MAX || v < INT_MIN) return false;
    out = static_cast<std::int32_t>(v);
    return true;
}

// A count in 1..max, or 0 (off) for anything else.
std::int32_t read_count(const char* v, std::int32_t max) {
    std::int32_t n = 0;
    return read_decimal(v, n) && n >= 1 && n <= max ? n : 0;
}

}  // namespace

namespace settings {

void reset_boot_settings() {
    gdb_enable = 0;
    gdbserver_enable = 0;
    gdbport = kDefaultGdbPort;
    shell_enable = 0;
    memchk_enable = 0;
    rescue_enable = 0;
    standalone_diags = 0;
    boot_limit = 0;
    boot_confirm_after = 0;
    boot_watchdog = 0;
    zero_touch_enable = 0;
}

}  // namespace settings

void parse_uboot_env() {
    using settings::kEnvWindow;
    std::unique_ptr<char[]> env(new (std::nothrow) char[kEnvWindow + 1]());
    if (!env) return;
    // An unreadable partition counts as an empty environment.
    if (api_flash_read(reinterpret_cast<std::uint8_t*>(env.get()), uboot_env_fd,
                       settings::kEnvOffset, kEnvWindow) != 0)
        return;
    // One string: variables separated by blanks, and whatever lies behind the
    // environment's end in the window (erased flash) is part of it.
    for (std::uint32_t i = 0; i < kEnvWindow; ++i)
        if (env[i] == '\0') env[i] = ' ';
    env[kEnvWindow] = '\0';

    if (const char* v = find_value(env.get(), "gdb=")) gdb_enable = begins_with(v, "on");
    if (const char* v = find_value(env.get(), "gdbserver=")) {
        gdbserver_enable = begins_with(v, "on");
        if (gdbserver_enable) gdb_enable = 1;
    }
    if (const char* v = find_value(env.get(), "gdbport=")) read_decimal(v, gdbport);
    if (const char* v = find_value(env.get(), "shell=")) shell_enable = begins_with(v, "on");
    if (const char* v = find_value(env.get(), "memchk=")) memchk_enable = begins_with(v, "on");
    if (const char* v = find_value(env.get(), "diagnostics=")) {
        rescue_enable = begins_with(v, "rescue");
        standalone_diags = begins_with(v, "diags");
    }
    if (const char* v = find_value(env.get(), "bootlimit="))
        boot_limit = read_count(v, settings::kMaxBootLimit);
    if (const char* v = find_value(env.get(), "bootconfirm="))
        boot_confirm_after = read_count(v, settings::kMaxBootSeconds);
    if (const char* v = find_value(env.get(), "bootwatchdog="))
        boot_watchdog = read_count(v, settings::kMaxBootSeconds);
    if (const char* v = find_value(env.get(), "zerotouch=")) zero_touch_enable = begins_with(v, "on");
}
