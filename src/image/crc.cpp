#include "image/crc.hpp"

#include <array>
#include <cstdio>

#include "common/bytes.hpp"

namespace {

constexpr std::uint32_t kPolynomial = 0xEDB88320u;  // reflected IEEE 802.3

// Sixteen tables for slicing-by-16: table[k][b] is the register contribution
// of byte b followed by k zero bytes. Built at compile time.
using CrcTables = std::array<std::array<std::uint32_t, 256>, 16>;

constexpr CrcTables make_tables() {
    CrcTables t{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t c = n;
        for (int bit = 0; bit < 8; ++bit) c = (c & 1u) ? (c >> 1) ^ kPolynomial : c >> 1;
        t[0][n] = c;
    }
    for (std::size_t k = 1; k < t.size(); ++k)
        for (std::uint32_t n = 0; n < 256; ++n)
            t[k][n] = (t[k - 1][n] >> 8) ^ t[0][t[k - 1][n] & 0xFFu];
    return t;
}

constexpr CrcTables kTables = make_tables();

}  // namespace

std::uint32_t gen_crc(const std::uint8_t* data, std::uint32_t length, std::uint32_t init) {
    std::uint32_t crc = init;
    const auto& t = kTables;
    // The words are assembled little-endian explicitly, so the same code is
    // right on the big-endian switch and on a PC.
    while (length >= 16) {
        const std::uint32_t w0 = crc ^ bytes::load_le32(data);
        const std::uint32_t w1 = bytes::load_le32(data + 4);
        const std::uint32_t w2 = bytes::load_le32(data + 8);
        const std::uint32_t w3 = bytes::load_le32(data + 12);
        crc = t[15][w0 & 0xFF] ^ t[14][(w0 >> 8) & 0xFF] ^ t[13][(w0 >> 16) & 0xFF] ^
              t[12][w0 >> 24] ^ t[11][w1 & 0xFF] ^ t[10][(w1 >> 8) & 0xFF] ^
              t[9][(w1 >> 16) & 0xFF] ^ t[8][w1 >> 24] ^ t[7][w2 & 0xFF] ^
              t[6][(w2 >> 8) & 0xFF] ^ t[5][(w2 >> 16) & 0xFF] ^ t[4][w2 >> 24] ^
              t[3][w3 & 0xFF] ^ t[2][(w3 >> 8) & 0xFF] ^ t[1][(w3 >> 16) & 0xFF] ^
              t[0][w3 >> 24];
        data += 16;
        length -= 16;
    }
    while (length-- > 0) crc = (crc >> 8) ^ t[0][(crc ^ *data++) & 0xFFu];
    return crc;
}

int CheckCrc(const std::uint8_t* data, std::uint32_t length, std::uint32_t expected) {
    return gen_crc(data, length, image::kCrcInit) != expected ? 1 : 0;
}

void display_header(const std::uint8_t* header, int verbose) {
    if (!verbose) return;
    std::span<const std::uint8_t> h(header, 16);
    std::printf("  crc: 0x%08x\n", static_cast<unsigned>(bytes::load_be32(h.subspan(0))));
    std::printf("  len: 0x%08x\n", static_cast<unsigned>(bytes::load_be32(h.subspan(4))));
    std::printf("magic: 0x%08x\n", static_cast<unsigned>(bytes::load_be32(h.subspan(8))));
    std::printf("   id: 0x%08x\n", static_cast<unsigned>(bytes::load_be32(h.subspan(12))));
}

std::uint32_t swapw(std::uint32_t word) {
    return (word >> 24) | ((word >> 8) & 0x0000FF00u) | ((word << 8) & 0x00FF0000u) | (word << 24);
}

namespace image {

std::uint32_t gen_crc_bitwise(const std::uint8_t* data, std::uint32_t length, std::uint32_t init) {
    std::uint32_t reg = init;
    for (std::uint32_t i = 0; i < length; ++i) {
        std::uint32_t byte = data[i];
        for (int bit = 0; bit < 8; ++bit) {
            reg = ((reg ^ byte) & 1u) ? (reg >> 1) ^ kPolynomial : reg >> 1;
            byte >>= 1;
        }
    }
    return reg;
}

}  // namespace image
