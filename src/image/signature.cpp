#include "image/signature.hpp"

#include <sodium/crypto_hash_sha256.h>
#include <sodium/crypto_sign_ed25519.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "common/unique_fd.hpp"
#include "image/container.hpp"
#include "image/crc.hpp"

namespace signing {

namespace {

constexpr std::uint32_t kManifestType = manifest::kSectionType;
constexpr std::size_t kPiece = 0x10000;

bool read_at(std::FILE* f, std::uint64_t offset, std::span<std::uint8_t> out) {
    return fseeko(f, static_cast<off_t>(offset), SEEK_SET) == 0 &&
           std::fread(out.data(), 1, out.size(), f) == out.size();
}

const char* type_name(std::uint32_t type) {
    if (const image::TypeInfo* t = image::find_type(type)) return t->name.data();
    return type == kManifestType ? "manifest" : "unknown type";
}

void print_hex(std::span<const std::uint8_t> b, std::FILE* out) {
    for (std::uint8_t c : b) std::fprintf(out, "%02x", c);
}

// An XMODEM download ends in the sender's padding: 0x1A bytes up to the end
// of its last block, which the installer steps over.
constexpr std::size_t kMaxPadding = 1023;
bool xmodem_padding(std::FILE* f, std::uint64_t pos, std::uint64_t size) {
    if (size - pos > kMaxPadding) return false;
    std::uint8_t tail[kMaxPadding];
    const std::span<std::uint8_t> t(tail, static_cast<std::size_t>(size - pos));
    if (!read_at(f, pos, t)) return false;
    for (std::uint8_t b : t)
        if (b != 0x1A) return false;
    return true;
}

}  // namespace

std::array<std::uint8_t, manifest::kKeyIdSize> key_id(std::span<const std::uint8_t> key) {
    std::uint8_t digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256(digest, key.data(), key.size());
    std::array<std::uint8_t, manifest::kKeyIdSize> id{};
    std::memcpy(id.data(), digest, id.size());
    return id;
}

bool hash_matches(std::span<const std::uint8_t> data,
                  const std::array<std::uint8_t, manifest::kHashSize>& expected) {
    std::uint8_t digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256(digest, data.data(), data.size());
    return std::memcmp(digest, expected.data(), sizeof digest) == 0;
}

bool section_signed(const Result& r, std::uint64_t pos, std::span<const std::uint8_t> section) {
    std::uint64_t start = r.manifest_size;
    for (std::uint32_t i = 0; i < r.manifest.count; ++i) {
        const manifest::Entry& e = r.manifest.entries[i];
        if (start == pos) return e.size == section.size() && hash_matches(section, e.sha256);
        start += e.size;
    }
    return false;
}

Result check_container(std::FILE* f, const Keys& keys, std::uint32_t minimum) {
    Result r;
    struct stat st {};
    if (::fstat(fileno(f), &st) != 0 || st.st_size < 0) {
        r.error = errno;
        return r;
    }
    const auto file_size = static_cast<std::uint64_t>(st.st_size);

    // The manifest: the first section, small enough to hold whole.
    r.section = 1;
    std::uint8_t probe[image::kHeaderProbeSize] = {};
    if (file_size < sizeof probe || !read_at(f, 0, probe)) {
        r.verdict = Verdict::Unsigned;
        return r;
    }
    const image::SectionHeader h = image::decode_header(probe);
    r.type = h.type();
    if (h.type() != kManifestType) {
        r.verdict = Verdict::Unsigned;
        return r;
    }
    const image::SectionGeometry g = image::section_geometry(h);
    r.verdict = Verdict::DamagedManifest;
    if (!image::section_consistent(h) || h.len > manifest::kMaxPayload ||
        g.payload_offset > 64 || !image::fits(0, g.size, file_size))
        return r;
    std::uint8_t section[64 + manifest::kMaxPayload];
    if (!read_at(f, 0, std::span(section, g.size))) return r;
    if (gen_crc(section + 4, g.size - 4, image::kCrcInit) != h.crc) return r;
    const std::span<const std::uint8_t> payload(section + g.payload_offset, h.len);
    if (manifest::decode(payload, r.manifest) != manifest::Parse::Ok) return r;
    r.manifest_size = g.size;
    const manifest::Manifest& m = r.manifest;

    const Key* key = nullptr;
    for (std::size_t i = 0; i < keys.count; ++i)
        if (keys.key[i].id == m.key_id) key = &keys.key[i];
    if (!key) {
        r.verdict = Verdict::UnknownKey;
        return r;
    }
    if (crypto_sign_ed25519_verify_detached(m.signature.data(), payload.data(), m.signed_size,
                                            key->bytes.data()) != 0) {
        r.verdict = Verdict::BadSignature;
        return r;
    }
    // From here on the manifest is the signer's own.
    if (m.product_name() != manifest::kProduct) {
        r.verdict = Verdict::WrongProduct;
        return r;
    }
    if (m.counter < minimum) {
        r.verdict = Verdict::Rollback;
        r.minimum = minimum;
        return r;
    }

    // Every listed section, streamed once through the hash.
    std::unique_ptr<std::uint8_t[]> piece(new (std::nothrow) std::uint8_t[kPiece]);
    if (!piece) {
        r.verdict = Verdict::Unreadable;
        r.error = ENOMEM;
        return r;
    }
    std::uint64_t pos = g.size;
    for (std::uint32_t i = 0; i < m.count; ++i) {
        const manifest::Entry& e = m.entries[i];
        r.section = i + 2;
        r.type = 0;
        std::uint8_t head[image::kHeaderProbeSize] = {};
        const bool headed = file_size - pos >= sizeof head && read_at(f, pos, head);
        if (headed) r.type = image::decode_header(head).type();
        if (!image::fits(pos, e.size, file_size)) {
            r.verdict = Verdict::Truncated;
            return r;
        }
        // The installer walks the sections by their own headers: each must
        // state exactly the size listed, or the walk would part from the
        // manifest.
        const std::uint32_t stated =
            headed ? image::section_geometry(image::decode_header(head)).size : 0;
        if (stated != e.size) {
            r.size = stated;
            r.verdict = Verdict::SizeDiffers;
            return r;
        }
        crypto_hash_sha256_state hash;
        crypto_hash_sha256_init(&hash);
        for (std::uint64_t done = 0; done < e.size;) {
            const std::size_t n = e.size - done < kPiece ? e.size - done : kPiece;
            if (!read_at(f, pos + done, std::span(piece.get(), n))) {
                r.verdict = Verdict::Truncated;
                return r;
            }
            crypto_hash_sha256_update(&hash, piece.get(), n);
            done += n;
        }
        std::uint8_t digest[crypto_hash_sha256_BYTES];
        crypto_hash_sha256_final(&hash, digest);
        if (std::memcmp(digest, e.sha256.data(), sizeof digest) != 0) {
            r.verdict = Verdict::HashDiffers;
            return r;
        }
        pos += e.size;
    }
    if (pos != file_size && !xmodem_padding(f, pos, file_size)) {
        r.section = m.count + 2;
        r.type = 0;
        std::uint8_t head[image::kHeaderProbeSize] = {};
        if (file_size - pos >= sizeof head && read_at(f, pos, head))
            r.type = image::decode_header(head).type();
        r.verdict = Verdict::Unlisted;
        return r;
    }
    r.section = 0;
    r.verdict = Verdict::Good;
    return r;
}

void report(const Result& r, std::FILE* out) {
    const manifest::Manifest& m = r.manifest;
    switch (r.verdict) {
    case Verdict::Good:
        return;
    case Verdict::Unreadable:
        std::fprintf(out, "Refused: the image cannot be read (err %d)\n", r.error);
        return;
    case Verdict::Unsigned:
        std::fputs("Refused: the image is not signed, and this switch takes only signed images\n", out);
        return;
    case Verdict::DamagedManifest:
        std::fputs("Refused: the image's signed manifest is damaged\n", out);
        return;
    case Verdict::UnknownKey:
        std::fprintf(out, "Refused: the image is signed with key ");
        print_hex(m.key_id, out);
        std::fputs(", which this switch does not hold\n", out);
        return;
    case Verdict::BadSignature:
        std::fputs("Refused: the image's signature does not match its manifest\n", out);
        return;
    case Verdict::WrongProduct:
        std::fprintf(out, "Refused: the image is signed for the %s, not for this %.*s\n",
                    m.product.data(), static_cast<int>(manifest::kProduct.size()),
                    manifest::kProduct.data());
        return;
    case Verdict::Rollback:
        std::fprintf(out, "Refused: security counter %u is below this switch's minimum %u\n",
                    static_cast<unsigned>(m.counter), static_cast<unsigned>(r.minimum));
        return;
    case Verdict::Truncated:
        std::fprintf(out, "Refused: the image ends inside its signed section %u (%s)\n",
                    static_cast<unsigned>(r.section), type_name(r.type));
        return;
    case Verdict::SizeDiffers:
        std::fprintf(out, "Refused: section %u (%s) is %u bytes long, not the %u bytes signed\n",
                    static_cast<unsigned>(r.section), type_name(r.type),
                    static_cast<unsigned>(r.size),
                    static_cast<unsigned>(m.entries[r.section - 2].size));
        return;
    case Verdict::HashDiffers:
        std::fprintf(out, "Refused: section %u (%s) differs from its signed hash\n",
                    static_cast<unsigned>(r.section), type_name(r.type));
        return;
    case Verdict::Unlisted:
        std::fprintf(out, "Refused: section %u (%s) is not listed in the signed manifest\n",
                    static_cast<unsigned>(r.section), type_name(r.type));
        return;
    }
}

}  // namespace signing
