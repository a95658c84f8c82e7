// libFuzzer target: the boot path's extraction from an image slot holding
// arbitrary bytes (a torn update, a foreign file). Runs in a private root
// (needs root) with the simulated switch, as the boot would.
//
// The slot boots exactly when the first application or diagnostics section
// along the header chain is whole and passes zlib's CRC-32; then the archive
// holds that section's payload and nothing else. Any other slot is refused
// with nothing written to the archive: extract_image returns (a boot would end
// the process, which the fuzzer reports).
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <vector>

#include "container_walk.hpp"
#include "simulated_switch.hpp"
#include "hw/flash.hpp"
#include "hw/i2c.hpp"
#include "image/container.hpp"
#include "launch/extract.hpp"
#include "support/testing.hpp"

using testing_support::read_file;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::enter_simulated_switch("extract_fuzz");
    api_i2c_init();
    api_flash_init();
    ::mkdir("/user/images", 0777);
    if (!std::freopen("/dev/null", "w", stdout)) std::exit(1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> slot(data, size);
    testing_support::write_file(extract::kSlotPaths[1], slot);
    std::remove(extract::kArchive);

    const std::vector<fuzz::Section> chain = fuzz::walk(slot);
    const auto first = std::find_if(chain.begin(), chain.end(), [](const fuzz::Section& s) {
        return image::is_bootable_type(s.type);
    });

    if (first == chain.end() || !first->good) {
        // Slot 1 first, as at power-on: a refused slot hands back to start-up.
        tried_alt_image = 0;
        if (extract_image(1) != 0 || !read_file(extract::kArchive).empty()) __builtin_trap();
        return 0;
    }

    // A slot that boots: the check and the archive, without the launch.
    std::FILE* in = std::fopen(extract::kSlotPaths[1], "rb");
    std::FILE* out = std::fopen(extract::kArchive, "wb");
    if (!in || !out) std::abort();
    std::uint8_t header[image::kHeaderProbeSize];
    const extract::Unpacked result = extract::unpack(in, out, header);
    std::fclose(in);
    std::fclose(out);
    const auto payload = first->payload(slot);
    const std::vector<std::uint8_t> written = read_file(extract::kArchive);
    if (result != extract::Unpacked::Written ||
        !std::equal(written.begin(), written.end(), payload.begin(), payload.end()))
        __builtin_trap();
    return 0;
}
