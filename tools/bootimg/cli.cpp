// Command dispatch, help text and the helpers the commands share.
#include <sodium.h>

#include <charconv>
#include <cstdarg>
#include <cstring>
#include <exception>
#include <new>

#include "bootimg.hpp"
#include "commands.hpp"
#include "image/container.hpp"

namespace bootimg {

namespace {

constexpr const char* kUsage = R"(Usage: bootimg COMMAND [ARGUMENTS]

Builds and checks image containers for the switch. A container is a series of
sections laid back to back from byte 0, with nothing between them; each is a
big-endian section header (basic: 16 bytes; extended: hdr_len bytes, at least
20) followed by its payload, and carries in its first word the CRC-32 of its
bytes 4 to its end (IEEE 802.3 polynomial, register started at 0xFFFFFFFF, no
final inversion).

Commands:
  create -o OUT [--force] SECTION...
      Writes a container holding one section per SECTION, in the order given.
      Each SECTION is
          --type T --version A.B.C.D [--hdr-len N] FILE
      with FILE the payload. T is app, uboot, kernel, rfs, dtb, diags, or a
      type code such as 0x07504754 (the switch skips codes it does not know).
      Without --hdr-len the section gets a basic 16-byte header; --hdr-len N
      (20 to 65535) gives an extended header of N bytes, bytes 20 to N-1 zero.
      A boot loader (uboot) is written to its partition without its section
      header, so create stores a copy of that header in the payload at offset
      240 (the bytes there are replaced); its payload must be at least 256
      bytes. A section above the switch's size limit is refused unless --force
      is given. The last section must be at least 20 bytes (the switch reads
      20 bytes at each section start and would not see a shorter one). OUT is
      replaced only once it is complete.

  list [--json] FILE
      Shows every section: index, offset, type (name and code), version,
      header form, payload length, section size, stored crc and whether it
      matches. A container the switch cannot walk (a section that is
      inconsistent or runs past the end of the file, trailing bytes too few
      for a section) is reported and gives status 1.
      --json prints a JSON document instead:
        {"file", "file_size", "ok" (what verify would say), "problems": [...],
         "sections": [{"index", "offset", "type" (null when unknown),
           "type_code", "version", "id", "header" ("basic" or "extended"),
           "header_length", "payload_offset", "len", "size", "crc",
           "crc_computed" (null when the section could not be read),
           "crc_ok", "problems": [...], "notes": [...]}]}
        Numbers are plain decimal JSON numbers.

  verify [--key PUB [--minimum N]] FILE
      Status 0 only when every section is intact (crc), consistent, lies
      within the file and is within the switch's size limits, and every boot
      loader carries at payload offset 240 a header copy whose len, magic and
      id equal its own. A file without a complete section, or ending in fewer
      than 20 bytes after the last section, fails too. Each problem is printed
      on its own line with the section index and offset. Unknown type codes
      are noted but do not fail.

      With --key, first judges the container as a switch holding the public
      key PUB would (signature, product, every section's size and SHA-256,
      nothing unlisted, a security counter of at least N), and prints the
      switch's own line when it would refuse it.

  keygen [--force] KEY
      Makes an Ed25519 key pair: KEY, the private key in the PKCS#8 PEM form
      of `openssl genpkey -algorithm ed25519` (mode 0600), and KEY.pub, the
      raw 32-byte public key a switch holds as /etc/bootlaunch/image-key1.pub
      (or image-key2.pub). Prints the key id.

  sign -o OUT --counter N [--product NAME] (--key KEY | --public PUB
       (--to-sign FILE | --signature SIG)) IN
      Writes OUT: the container IN with a signed manifest in front (one
      already there is replaced). The manifest names the product (default
      TQV4410), the key id, the security counter N and the size and SHA-256
      of every section of IN; it is signed with Ed25519. --key KEY signs with
      a private key (keygen's, or OpenSSL's PEM or DER). With a key that only
      another program holds: --public PUB --to-sign FILE writes the bytes to
      sign (then, for example, openssl pkeyutl -sign -rawin -inkey KEY -in
      FILE -out SIG), and --public PUB --signature SIG (64 bytes) makes OUT.
      A public key is raw 32 bytes, or OpenSSL's PEM or DER.
      create takes --sign KEY --counter N [--product NAME] to sign as it goes.

  extract [--force] FILE INDEX OUT
      Writes the payload of section INDEX (counted from 0) to OUT. A section
      that fails its crc, is inconsistent or runs past the end of the file is
      refused; with --force the payload bytes that lie inside the file are
      written anyway.

Size limits of the switch (a value equal to the limit is accepted):
)";

constexpr const char* kUsageEnd = R"(
Exit status: 0 ok, 1 problems found or request refused, 2 usage error.
)";

void print_usage(std::FILE* f) {
    std::fputs(kUsage, f);
    for (const image::TypeInfo& t : image::all_types()) {
        if (t.limit == 0)
            std::fprintf(f, "  %-7s none\n", std::string(t.name).c_str());
        else
            std::fprintf(f, "  %-7s %-14s 0x%06x (%u)\n", std::string(t.name).c_str(),
                         t.limit_on_payload ? "payload length" : "section size", t.limit, t.limit);
    }
    std::fputs(kUsageEnd, f);
}

bool is_help(std::string_view a) {
    return a == "--help" || a == "-h";
}

}  // namespace

bool option_value(Args args, std::size_t& i, std::string_view name, std::string_view& value) {
    const std::string_view a = args[i];
    if (a == name) {
        if (i + 1 >= args.size()) throw UsageError{std::string(name) + " needs a value"};
        value = args[++i];
        return true;
    }
    if (a.size() > name.size() && a.substr(0, name.size()) == name && a[name.size()] == '=') {
        value = a.substr(name.size() + 1);
        return true;
    }
    return false;
}

std::optional<std::uint64_t> parse_number(std::string_view text) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    std::uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || ec != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    return value;
}

void complain(const Io& io, const char* command, const char* fmt, ...) {
    std::fprintf(io.err, "bootimg %s: ", command);
    va_list args;
    va_start(args, fmt);
    std::vfprintf(io.err, fmt, args);
    va_end(args);
    std::fputc('\n', io.err);
}

}  // namespace bootimg

int bootimg_main(int argc, char** argv, std::FILE* out, std::FILE* err) {
    using namespace bootimg;
    const Io io{out, err};
    const Args all(argv, static_cast<std::size_t>(argc > 0 ? argc : 0));
    if (all.size() < 2) {
        print_usage(err);
        return 2;
    }
    const std::string_view command = all[1];
    const Args args = all.subspan(2);
    if (is_help(command) || (!args.empty() && is_help(args[0]))) {
        print_usage(out);
        return 0;
    }
    // Key generation draws from the system's random source.
    if (sodium_init() < 0) {
        std::fprintf(err, "bootimg: the cryptography library could not start\n");
        return 1;
    }
    int status;
    try {
        if (command == "create")
            status = run_create(args, io);
        else if (command == "list")
            status = run_list(args, io);
        else if (command == "verify")
            status = run_verify(args, io);
        else if (command == "extract")
            status = run_extract(args, io);
        else if (command == "keygen")
            status = run_keygen(args, io);
        else if (command == "sign")
            status = run_sign(args, io);
        else
            throw UsageError{"unknown command '" + std::string(command) + "'"};
    } catch (const UsageError& e) {
        std::fprintf(err, "bootimg: %s\nTry 'bootimg --help'.\n", e.message.c_str());
        status = 2;
    } catch (const std::bad_alloc&) {
        std::fprintf(err, "bootimg: out of memory\n");
        status = 1;
    } catch (const std::exception& e) {
        // A request the checks above let through by mistake still ends
        // with a message, not an abort.
        std::fprintf(err, "bootimg: %s\n", e.what());
        status = 1;
    }
    std::fflush(out);
    std::fflush(err);
    return status;
}
