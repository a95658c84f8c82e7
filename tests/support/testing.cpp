#include "support/testing.hpp"

#include <sys/wait.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace testing_support {

TemporaryDirectory::TemporaryDirectory() {
    std::string base = "/tmp";
    if (const char* t = std::getenv("BOOTLAUNCH_TEST_TMP")) {
        std::filesystem::create_directories(t);
        base = t;
    }
    std::string tmpl = base + "/bltest.XXXXXX";
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TemporaryDirectory::~TemporaryDirectory() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::vector<std::uint8_t> read_file(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file(const std::filesystem::path& p, std::span<const std::uint8_t> data) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()),
              static_cast<std::streamsize>(data.size()));
}

void write_file(const std::filesystem::path& p, const std::string& text) {
    write_file(p, {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
}

int run(const std::string& command) {
    int status = std::system(command.c_str());
    if (status == -1 || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

std::vector<std::uint8_t> join(std::initializer_list<std::vector<std::uint8_t>> parts) {
    std::vector<std::uint8_t> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

bool starts_with(std::span<const std::uint8_t> whole, std::span<const std::uint8_t> part) {
    return whole.size() >= part.size() && std::equal(part.begin(), part.end(), whole.begin());
}

std::vector<std::uint8_t> hex(const std::string& text) {
    std::string digits;
    for (char c : text)
        if (std::isxdigit(static_cast<unsigned char>(c))) digits += c;
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return out;
}

}  // namespace testing_support
