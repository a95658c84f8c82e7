// Small helpers shared by the tests.
#pragma once

#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <ostream>
#include <span>
#include <string>
#include <vector>

namespace testing_support {

// A fresh directory, removed with everything in it when the object goes.
class TemporaryDirectory {
public:
    TemporaryDirectory();
    ~TemporaryDirectory();
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

std::vector<std::uint8_t> read_file(const std::filesystem::path& p);
void write_file(const std::filesystem::path& p, std::span<const std::uint8_t> data);
void write_file(const std::filesystem::path& p, const std::string& text);

// Runs a shell command line, returns its exit status (-1 if it did not run).
int run(const std::string& command);

// The parts one after the other (a container of sections, say).
std::vector<std::uint8_t> join(std::initializer_list<std::vector<std::uint8_t>> parts);

// True when `whole` begins with the bytes of `part`.
bool starts_with(std::span<const std::uint8_t> whole, std::span<const std::uint8_t> part);

// Bytes written as hex text, "87 D9 94 00 ..." (blanks and commas ignored).
std::vector<std::uint8_t> hex(const std::string& text);

// A parameterised case prints as its name, so that a test's listing reads
// "Keys/EnvSettings.FromMkenvimagePartition/port", not a byte dump; a test
// file takes it in with `using testing_support::PrintTo;`.
template <typename Case>
    requires requires(const Case& c) { *static_cast<std::ostream*>(nullptr) << c.name; }
void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

}  // namespace testing_support
