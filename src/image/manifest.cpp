#include "image/manifest.hpp"

#include <cstring>

#include "common/bytes.hpp"

namespace manifest {

Parse decode(std::span<const std::uint8_t> p, Manifest& out) {
    out = Manifest{};
    if (p.size() < kFixedSize) return Parse::TooShort;
    if (bytes::load_be32(p.subspan(0, 4)) != kMagic) return Parse::NotManifest;
    if (p[4] != kLayout || p[5] != 0 || p[6] != 0 || p[7] != 0) return Parse::Layout;
    const std::uint32_t count = bytes::load_be32(p.subspan(36, 4));
    if (count == 0 || count > kMaxEntries) return Parse::BadCount;
    const std::size_t signed_size = kFixedSize + count * kEntrySize;
    if (p.size() != signed_size + kSignatureSize) return Parse::BadSize;

    // Printable text, then only NULs.
    std::size_t n = 0;
    while (n < kProductSize && p[8 + n] != 0) {
        if (p[8 + n] < 0x20 || p[8 + n] > 0x7E) return Parse::BadProduct;
        ++n;
    }
    if (n == 0) return Parse::BadProduct;
    for (std::size_t i = n; i < kProductSize; ++i)
        if (p[8 + i] != 0) return Parse::BadProduct;
    std::memcpy(out.product.data(), p.data() + 8, n);

    std::memcpy(out.key_id.data(), p.data() + 24, kKeyIdSize);
    out.counter = bytes::load_be32(p.subspan(32, 4));
    out.count = count;
    for (std::uint32_t i = 0; i < count; ++i) {
        const auto e = p.subspan(kFixedSize + i * kEntrySize, kEntrySize);
        out.entries[i].size = bytes::load_be32(e.subspan(0, 4));
        std::memcpy(out.entries[i].sha256.data(), e.data() + 4, kHashSize);
    }
    out.signed_size = signed_size;
    std::memcpy(out.signature.data(), p.data() + signed_size, kSignatureSize);
    return Parse::Ok;
}

std::size_t encode(const Manifest& m, std::span<std::uint8_t> out) {
    const std::string_view product = m.product_name();
    if (m.count == 0 || m.count > kMaxEntries || product.empty() ||
        product.size() > kProductSize || out.size() < kMaxPayload)
        return 0;
    const std::size_t signed_size = kFixedSize + m.count * kEntrySize;
    std::memset(out.data(), 0, signed_size + kSignatureSize);
    bytes::store_be32(out.subspan(0, 4), kMagic);
    out[4] = kLayout;
    std::memcpy(out.data() + 8, product.data(), product.size());
    std::memcpy(out.data() + 24, m.key_id.data(), kKeyIdSize);
    bytes::store_be32(out.subspan(32, 4), m.counter);
    bytes::store_be32(out.subspan(36, 4), m.count);
    for (std::uint32_t i = 0; i < m.count; ++i) {
        const auto e = out.subspan(kFixedSize + i * kEntrySize, kEntrySize);
        bytes::store_be32(e.subspan(0, 4), m.entries[i].size);
        std::memcpy(e.data() + 4, m.entries[i].sha256.data(), kHashSize);
    }
    std::memcpy(out.data() + signed_size, m.signature.data(), kSignatureSize);
    return signed_size + kSignatureSize;
}

}  // namespace manifest
