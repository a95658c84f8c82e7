// libFuzzer target: the installer's walk over arbitrary containers, as they
// arrive from a USB stick or an XMODEM download, with the slot question
// answered from the fuzzed bytes too. Runs in a private root (needs root)
// with simulated flash: nothing it could start exists there.
//
// Input: the container, then the keys typed at the slot question, then one
// control byte: bit 0 skip-same; bit 1 ask the question (bits 2 to 7: how
// many keys precede the control byte), else bit 2 names slot 2 instead of 1.
//
// Checked against the sections along the header chain that are whole and
// pass zlib's CRC-32: every flash partition that changed now starts with such
// a section of its type (a boot loader: with its payload), every slot file
// that changed holds exactly such an application section and is the slot
// named or answered, and an application booted from the question's answer
// left exactly such a section's payload as the archive.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "container_walk.hpp"
#include "simulated_switch.hpp"
#include "hw/flash.hpp"
#include "hw/i2c.hpp"
#include "image/container.hpp"
#include "image/installer.hpp"
#include "launch/extract.hpp"
#include "support/testing.hpp"

namespace {

using image::ImageType;

constexpr const char* kInput = "/scratch/fuzz.img";

testing_support::SimBoard* board;

struct Partition {
    const char* name;
    ImageType type;  // what the installer may write there
};
constexpr ImageType kNothing{0};
constexpr std::array<Partition, 6> kPartitions{{
    {"mtd-uboot", ImageType::BootLoader},
    {"mtd-kernel", ImageType::Kernel},
    {"mtd-rfs", ImageType::RootFs},
    {"mtd-devicetree", ImageType::DeviceTree},
    {"mtd-rescue", ImageType::Diagnostics},
    {"mtd-ubootenv", kNothing},
}};

// The whole file in one read (a missing one as empty): the snapshots are
// most of a run's time.
std::vector<std::uint8_t> contents(const std::string& path) {
    std::vector<std::uint8_t> bytes;
    if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
        std::fseek(f, 0, SEEK_END);
        bytes.resize(static_cast<std::size_t>(std::ftell(f)));
        std::rewind(f);
        if (std::fread(bytes.data(), 1, bytes.size(), f) != bytes.size()) std::abort();
        std::fclose(f);
    }
    return bytes;
}

// Every partition, then slots 1 and 2.
using Store = std::vector<std::vector<std::uint8_t>>;

Store snapshot() {
    Store s;
    for (const Partition& p : kPartitions) s.push_back(contents(board->dev(p.name)));
    for (int slot = 1; slot <= 2; ++slot) s.push_back(contents(install::slot_path(slot)));
    return s;
}

Store before;

bool same(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    board = fuzz::enter_simulated_switch("installer_fuzz");
    // One erase block each keeps the before-and-after comparison cheap; the
    // fuzzer's containers are far smaller.
    for (const Partition& p : kPartitions)
        board->resize_partition(p.name, testing_support::SimBoard::kBlock);
    api_i2c_init();
    api_flash_init();
    // The installer talks a lot; libFuzzer reports on standard error.
    if (!std::freopen("/dev/null", "w", stdout)) std::exit(1);
    before = snapshot();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint8_t control = data[size - 1];
    const std::uint8_t skip_same = control & 1;
    const bool ask = (control & 2) != 0;
    const std::size_t key_count = ask ? std::min<std::size_t>(control >> 2, size - 1) : 0;
    const std::span<const std::uint8_t> container(data, size - 1 - key_count);
    const std::string keys(reinterpret_cast<const char*>(data) + container.size(), key_count);
    const int named = control & 4 ? 2 : 1;
    // The question takes a line; its first character picks the slot, and
    // anything but 1 or 2 (or no line) boots the application at once.
    const int answered = !keys.empty() && (keys[0] == '1' || keys[0] == '2') ? keys[0] - '0' : 0;
    const int slot = ask ? answered : named;

    testing_support::write_file(kInput, container);
    std::remove(extract::kArchive);
    const std::vector<fuzz::Section> chain = fuzz::walk(container);
    std::vector<fuzz::Section> good_apps;
    for (const auto& s : chain)
        if (s.good && s.type == image::code(ImageType::Application)) good_apps.push_back(s);

    auto install = [&] {
        testing_support::StdinFeed feed(keys);
        processTesselImage(kInput, skip_same, ask ? 0 : named);
        // What the question left unread must not answer the next run's.
        while (std::getchar() != EOF) {
        }
        std::clearerr(stdin);
    };
    if (ask && slot == 0 && !good_apps.empty()) {
        // It may boot the application: a boot ends the process, so in a child.
        if (fuzz::ends_the_process(install)) {
            const auto archive = contents(extract::kArchive);
            if (std::none_of(good_apps.begin(), good_apps.end(), [&](const fuzz::Section& s) {
                    return same(archive, s.payload(container));
                }))
                __builtin_trap();
        }
    } else {
        // No intact application to boot: returning is the only way out.
        install();
    }

    Store after = snapshot();
    for (std::size_t i = 0; i < after.size(); ++i) {
        if (after[i] == before[i]) continue;
        const int slot_file = i < kPartitions.size() ? 0 : int(i - kPartitions.size()) + 1;
        const ImageType type = slot_file ? ImageType::Application : kPartitions[i].type;
        const bool boot_loader = type == ImageType::BootLoader;
        // A slot holds exactly the section; a partition starts with it.
        const auto holds = [&](const fuzz::Section& s) {
            const auto want = boot_loader ? s.payload(container) : s.bytes(container);
            return slot_file ? same(after[i], want)
                             : testing_support::starts_with(after[i], want);
        };
        if (type == kNothing || (slot_file && slot_file != slot) ||
            std::none_of(chain.begin(), chain.end(),
                         [&](const fuzz::Section& s) {
                             return s.good && s.type == image::code(type) && holds(s);
                         }))
            __builtin_trap();
    }
    before = std::move(after);
    return 0;
}
