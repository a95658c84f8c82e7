// libFuzzer target: bootimg list, list --json and verify on a container of
// arbitrary bytes, as a build host meets a damaged or foreign file. Each
// must end with status 0 or 1 (never a usage error for a readable file), and
// verify may pass only a file that list also read to its end.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "bootimg.hpp"

namespace {

char path[] = "/tmp/bootimg-fuzz-XXXXXX";
std::FILE* sink;

int run(const char* command, const char* option = nullptr) {
    char name[] = "bootimg";
    char* argv[] = {name, const_cast<char*>(command), const_cast<char*>(option ? option : path),
                    option ? path : nullptr, nullptr};
    return bootimg_main(option ? 4 : 3, argv, sink, sink);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const int fd = ::mkstemp(path);
    if (fd < 0) std::abort();
    ::close(fd);
    sink = std::fopen("/dev/null", "w");
    if (!sink) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::FILE* f = std::fopen(path, "wb");
    if (!f) std::abort();
    if (size && std::fwrite(data, 1, size, f) != size) std::abort();
    std::fclose(f);

    const int listed = run("list");
    const int json = run("list", "--json");
    const int verified = run("verify");
    if (listed > 1 || json > 1 || verified > 1) __builtin_trap();
    if (verified == 0 && listed != 0) __builtin_trap();
    return 0;
}
