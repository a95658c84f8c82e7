// bootimg list: what a container holds, as a table or as JSON.
#include <optional>
#include <vector>

#include "commands.hpp"
#include "examine.hpp"
#include "files.hpp"
#include "image/container.hpp"
#include "json.hpp"
#include "sign.hpp"
#include "text.hpp"

namespace bootimg {

namespace {

std::string type_name(const SectionReport& s) {
    if (s.header.type() == kManifestTypeCode) return "signed";
    return s.type ? std::string(s.type->name) : std::string("?");
}

std::string hex(std::span<const std::uint8_t> b) {
    std::string out;
    for (std::uint8_t c : b) out += format("%02x", c);
    return out;
}

// The manifest in front of a signed container, when it decodes.
std::optional<manifest::Manifest> manifest_of(std::span<const std::uint8_t> file,
                                              const ContainerReport& r) {
    if (r.sections.empty() || !is_manifest(r.sections[0]) || !r.sections[0].readable())
        return std::nullopt;
    const SectionReport& s = r.sections[0];
    manifest::Manifest m;
    if (manifest::decode(file.subspan(static_cast<std::size_t>(s.offset) +
                                          s.geometry.payload_offset,
                                      s.header.len),
                         m) != manifest::Parse::Ok)
        return std::nullopt;
    return m;
}

void print_manifest_table(const manifest::Manifest& m, std::FILE* out) {
    std::fprintf(out, "signed for the %s with key %s, security counter %u; sections listed:\n",
                 m.product.data(), hex(m.key_id).c_str(), m.counter);
    for (std::uint32_t i = 0; i < m.count; ++i)
        std::fprintf(out, "%3u  %10u bytes  sha256 %s\n", i + 1, m.entries[i].size,
                     hex(m.entries[i].sha256).c_str());
}

void print_manifest_json(const std::optional<manifest::Manifest>& m, std::FILE* out) {
    if (!m) {
        std::fputs(",\n  \"manifest\": null", out);
        return;
    }
    std::fprintf(out,
                 ",\n  \"manifest\": {\n    \"product\": %s,\n    \"key_id\": \"%s\",\n"
                 "    \"security_counter\": %u,\n    \"signature\": \"%s\",\n"
                 "    \"sections\": [",
                 json_string(m->product.data()).c_str(), hex(m->key_id).c_str(), m->counter,
                 hex(m->signature).c_str());
    for (std::uint32_t i = 0; i < m->count; ++i)
        std::fprintf(out, "%s\n      {\"size\": %u, \"sha256\": \"%s\"}", i ? "," : "",
                     m->entries[i].size, hex(m->entries[i].sha256).c_str());
    std::fputs("\n    ]\n  }", out);
}

std::string header_form(const SectionReport& s) {
    return s.header.extended() ? format("extended/%u", s.header.hdr_len) : std::string("basic");
}

std::string check_text(const SectionReport& s) {
    if (!s.consistent) return "inconsistent";
    if (!s.within_file) return "truncated";
    if (s.intact()) return "good";
    return format("BAD (computed 0x%08x)", *s.computed_crc);
}

// True when the switch could walk the whole container: every section's end is
// known and inside the file, and nothing is left over.
bool walkable(const ContainerReport& r) {
    if (!r.problems.empty()) return false;
    for (const SectionReport& s : r.sections)
        if (!s.readable()) return false;
    return true;
}

void print_table(const std::string& path, const ContainerReport& r, std::FILE* out) {
    std::fprintf(out, "%s: %llu bytes, %zu section%s\n", path.c_str(),
                 static_cast<unsigned long long>(r.file_size), r.sections.size(),
                 r.sections.size() == 1 ? "" : "s");
    if (!r.sections.empty())
        std::fprintf(out, "%3s  %10s  %-6s %-10s  %-15s  %-14s  %10s  %10s  %-10s  %s\n", "#",
                     "offset", "type", "code", "version", "header", "len", "size", "crc", "check");
    for (const SectionReport& s : r.sections)
        std::fprintf(out, "%3zu  %10llu  %-6s 0x%08x  %-15s  %-14s  %10u  %10u  0x%08x  %s\n",
                     s.index, static_cast<unsigned long long>(s.offset), type_name(s).c_str(),
                     s.header.type(), image::format_version(s.header.id).c_str(),
                     header_form(s).c_str(), s.header.len, s.geometry.size, s.header.crc,
                     check_text(s).c_str());
    for (const SectionReport& s : r.sections) {
        for (const std::string& n : s.notes)
            std::fprintf(out, "note: %s: %s\n", where(s.index, s.offset).c_str(), n.c_str());
        for (const std::string& p : s.problems)
            std::fprintf(out, "problem: %s: %s\n", where(s.index, s.offset).c_str(), p.c_str());
    }
    for (const std::string& p : r.problems) std::fprintf(out, "problem: %s\n", p.c_str());
}

void print_json_list(std::FILE* out, const std::vector<std::string>& items, const char* indent) {
    if (items.empty()) {
        std::fputs("[]", out);
        return;
    }
    std::fputs("[", out);
    for (std::size_t i = 0; i < items.size(); ++i)
        std::fprintf(out, "%s\n%s  %s", i ? "," : "", indent, json_string(items[i]).c_str());
    std::fprintf(out, "\n%s]", indent);
}

void print_json(const std::string& path, const ContainerReport& r,
                const std::optional<manifest::Manifest>& manifest, std::FILE* out) {
    std::fprintf(out, "{\n  \"file\": %s,\n  \"file_size\": %llu,\n  \"ok\": %s,\n",
                 json_string(path).c_str(), static_cast<unsigned long long>(r.file_size),
                 r.ok() ? "true" : "false");
    std::fputs("  \"problems\": ", out);
    print_json_list(out, r.problems, "  ");
    print_manifest_json(manifest, out);
    std::fputs(",\n  \"sections\": [", out);
    for (const SectionReport& s : r.sections) {
        const std::string type = s.type ? json_string(s.type->name) : "null";
        const std::string computed =
            s.computed_crc ? std::to_string(*s.computed_crc) : std::string("null");
        std::fprintf(out,
                     "%s\n    {\n"
                     "      \"index\": %zu,\n"
                     "      \"offset\": %llu,\n"
                     "      \"type\": %s,\n"
                     "      \"type_code\": %u,\n"
                     "      \"version\": %s,\n"
                     "      \"id\": %u,\n"
                     "      \"header\": \"%s\",\n"
                     "      \"header_length\": %u,\n"
                     "      \"payload_offset\": %u,\n"
                     "      \"len\": %u,\n"
                     "      \"size\": %u,\n"
                     "      \"crc\": %u,\n"
                     "      \"crc_computed\": %s,\n"
                     "      \"crc_ok\": %s,\n"
                     "      \"problems\": ",
                     s.index ? "," : "", s.index, static_cast<unsigned long long>(s.offset),
                     type.c_str(), s.header.type(),
                     json_string(image::format_version(s.header.id)).c_str(), s.header.id,
                     s.header.extended() ? "extended" : "basic",
                     s.header.extended() ? s.header.hdr_len : image::kBasicHeaderSize,
                     s.geometry.payload_offset, s.header.len, s.geometry.size, s.header.crc,
                     computed.c_str(), s.intact() ? "true" : "false");
        print_json_list(out, s.problems, "      ");
        std::fputs(",\n      \"notes\": ", out);
        print_json_list(out, s.notes, "      ");
        std::fputs("\n    }", out);
    }
    std::fputs(r.sections.empty() ? "]\n}\n" : "\n  ]\n}\n", out);
}

}  // namespace

int run_list(Args args, const Io& io) {
    bool json = false;
    std::string path;
    for (const std::string_view a : args) {
        if (a == "--json")
            json = true;
        else if (a.size() > 1 && a[0] == '-')
            throw UsageError{"list: unknown option '" + std::string(a) + "'"};
        else if (!path.empty())
            throw UsageError{"list: one FILE only"};
        else
            path = a;
    }
    if (path.empty()) throw UsageError{"list: FILE is required"};

    std::vector<std::uint8_t> file;
    std::string error;
    if (!read_whole_file(path, file, error)) {
        complain(io, "list", "%s", error.c_str());
        return 1;
    }
    const ContainerReport r = examine(file);
    const auto m = manifest_of(file, r);
    if (json) {
        print_json(path, r, m, io.out);
    } else {
        print_table(path, r, io.out);
        if (m) print_manifest_table(*m, io.out);
    }
    if (walkable(r)) return 0;
    complain(io, "list", "%s: not a complete container: the switch cannot read all of it",
             path.c_str());
    return 1;
}

}  // namespace bootimg
