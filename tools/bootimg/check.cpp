// bootimg verify and bootimg extract: judging sections and taking one out.
#include <algorithm>
#include <vector>

#include "commands.hpp"
#include "examine.hpp"
#include "files.hpp"
#include "common/unique_fd.hpp"
#include "image/signature.hpp"
#include "keys.hpp"

namespace bootimg {

int run_verify(Args args, const Io& io) {
    std::string path, key_path;
    std::uint32_t minimum = 0;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view a = args[i];
        std::string_view v;
        if (option_value(args, i, "--key", v)) {
            key_path = v;
        } else if (option_value(args, i, "--minimum", v)) {
            const auto n = parse_number(v);
            if (!n || *n > 0xFFFFFFFFu)
                throw UsageError{"verify: --minimum must be 0 to 4294967295"};
            minimum = static_cast<std::uint32_t>(*n);
        } else if (a.size() > 1 && a[0] == '-') {
            throw UsageError{"verify: unknown option '" + std::string(a) + "'"};
        } else if (path.empty()) {
            path = a;
        } else {
            throw UsageError{"verify: exactly one FILE is needed"};
        }
    }
    if (path.empty()) throw UsageError{"verify: exactly one FILE is needed"};
    std::vector<std::uint8_t> file;
    std::string error;
    if (!read_whole_file(path, file, error)) {
        complain(io, "verify", "%s", error.c_str());
        return 1;
    }
    // As a switch that holds this key would judge it, before anything else.
    if (!key_path.empty()) {
        signing::Keys keys;
        if (!read_public_key(key_path, keys.key[0].bytes, error)) {
            complain(io, "verify", "%s", error.c_str());
            return 1;
        }
        keys.key[0].id = signing::key_id(keys.key[0].bytes);
        keys.count = 1;
        common::UniqueFile f(std::fopen(path.c_str(), "rb"));
        const signing::Result s = f ? signing::check_container(f.get(), keys, minimum)
                                    : signing::Result{};
        if (s.verdict != signing::Verdict::Good) {
            std::fprintf(io.out, "%s: ", path.c_str());
            signing::report(s, io.out);
            std::fprintf(io.out, "%s: FAILED, the switch refuses it\n", path.c_str());
            return 1;
        }
        std::fprintf(io.out, "%s: signature good: the %s, security counter %u, %u sections\n",
                     path.c_str(), s.manifest.product.data(), s.manifest.counter,
                     s.manifest.count);
    }
    const ContainerReport r = examine(file);
    std::size_t problems = r.problems.size();
    for (const SectionReport& s : r.sections) {
        for (const std::string& n : s.notes)
            std::fprintf(io.out, "%s: note: %s: %s\n", path.c_str(),
                         where(s.index, s.offset).c_str(), n.c_str());
        for (const std::string& p : s.problems)
            std::fprintf(io.out, "%s: %s: %s\n", path.c_str(), where(s.index, s.offset).c_str(),
                         p.c_str());
        problems += s.problems.size();
    }
    for (const std::string& p : r.problems)
        std::fprintf(io.out, "%s: %s\n", path.c_str(), p.c_str());

    if (problems == 0) {
        std::fprintf(io.out, "%s: OK, %zu section%s\n", path.c_str(), r.sections.size(),
                     r.sections.size() == 1 ? "" : "s");
        return 0;
    }
    std::fprintf(io.out, "%s: FAILED, %zu problem%s\n", path.c_str(), problems,
                 problems == 1 ? "" : "s");
    return 1;
}

int run_extract(Args args, const Io& io) {
    bool force = false;
    std::vector<std::string> positional;
    for (const std::string_view a : args) {
        if (a == "--force")
            force = true;
        else if (a.size() > 1 && a[0] == '-')
            throw UsageError{"extract: unknown option '" + std::string(a) + "'"};
        else
            positional.emplace_back(a);
    }
    if (positional.size() != 3) throw UsageError{"extract: FILE INDEX OUT are needed"};
    const std::string& path = positional[0];
    const std::string& out_path = positional[2];
    const auto index = parse_number(positional[1]);
    if (!index) throw UsageError{"extract: INDEX '" + positional[1] + "' is not a number"};

    std::vector<std::uint8_t> file;
    std::string error;
    if (!read_whole_file(path, file, error)) {
        complain(io, "extract", "%s", error.c_str());
        return 1;
    }
    const ContainerReport r = examine(file);
    if (*index >= r.sections.size()) {
        complain(io, "extract", "%s has %zu section%s; there is no section %llu", path.c_str(),
                 r.sections.size(), r.sections.size() == 1 ? "" : "s",
                 static_cast<unsigned long long>(*index));
        return 1;
    }
    const SectionReport& s = r.sections[static_cast<std::size_t>(*index)];
    if (!s.intact()) {
        // The first problem is the one that makes the section unusable:
        // inconsistency, truncation or a bad crc come before anything else.
        complain(io, "extract", "%s: %s: %s%s", path.c_str(), where(s.index, s.offset).c_str(),
                 s.problems.front().c_str(),
                 force ? "; extracting anyway (--force)" : "; not extracted (--force overrides)");
        if (!force) return 1;
    }

    // Under --force the header may be lying: keep to the bytes inside the file.
    const std::uint64_t start = s.offset + s.geometry.payload_offset;
    const std::uint64_t available = start < file.size() ? file.size() - start : 0;
    const std::uint64_t count = std::min<std::uint64_t>(s.header.len, available);
    const std::span<const std::uint8_t> payload =
        count ? std::span<const std::uint8_t>(file).subspan(static_cast<std::size_t>(start),
                                                            static_cast<std::size_t>(count))
              : std::span<const std::uint8_t>();
    if (count < s.header.len)
        complain(io, "extract", "%s: only %llu of the %u payload bytes lie inside the file",
                 where(s.index, s.offset).c_str(), static_cast<unsigned long long>(count),
                 s.header.len);
    if (!write_file_atomically(out_path, payload, error)) {
        complain(io, "extract", "%s", error.c_str());
        return 1;
    }
    std::fprintf(io.out, "%s: %llu payload bytes of %s written to %s\n", path.c_str(),
                 static_cast<unsigned long long>(count), where(s.index, s.offset).c_str(),
                 out_path.c_str());
    return 0;
}

}  // namespace bootimg
