// The commands of bootimg and what they share. Internal to the tool.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace bootimg {

struct Io {
    std::FILE* out;
    std::FILE* err;
};

// Thrown for a command line that cannot be obeyed; the tool prints it with a
// pointer to --help and exits with status 2.
struct UsageError {
    std::string message;
};

using Args = std::span<char* const>;  // the command's arguments, its name excluded

int run_create(Args args, const Io& io);
int run_list(Args args, const Io& io);
int run_verify(Args args, const Io& io);
int run_extract(Args args, const Io& io);
int run_keygen(Args args, const Io& io);
int run_sign(Args args, const Io& io);

// For "--name VALUE" or "--name=VALUE" at args[i]: returns true, stores the
// value and leaves i on the last argument used. Throws UsageError when the
// value is missing.
bool option_value(Args args, std::size_t& i, std::string_view name, std::string_view& value);

// Decimal, or hexadecimal after 0x; the whole text must be the number.
std::optional<std::uint64_t> parse_number(std::string_view text);

// "bootimg COMMAND: message" on the error stream.
[[gnu::format(printf, 3, 4)]] void complain(const Io& io, const char* command, const char* fmt,
                                            ...);

}  // namespace bootimg
