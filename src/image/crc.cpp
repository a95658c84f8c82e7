#include "image/crc.hpp"

#include <array>
#include <cstdio>

#include "common/bytes.hpp"

namespace {

constexpr std::uint32_t kPolynomial = 0xEDB88320u;  // reflected IEEE 802.3

// The bytes are run through kLanes independent CRC registers, one per 32-bit
// word of a kLanes-word block, so that the lanes' table look-ups do not wait
// on each other; the lanes are merged over the last block. Six lanes of
// 32-bit words suit both the switch's PowerPC and a PC.
constexpr std::size_t kLanes = 6;
constexpr std::size_t kWord = 4;
constexpr std::size_t kBlock = kLanes * kWord;

using Table = std::array<std::uint32_t, 256>;

constexpr Table make_byte_table() {
    Table t{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t c = n;
        for (int bit = 0; bit < 8; ++bit) c = (c & 1u) ? (c >> 1) ^ kPolynomial : c >> 1;
        t[n] = c;
    }
    return t;
}

constexpr Table kByteTable = make_byte_table();

constexpr std::uint32_t crc_byte(std::uint32_t reg, std::uint8_t byte) {
    return (reg >> 8) ^ kByteTable[(reg ^ byte) & 0xFFu];
}

// Register after one 32-bit word (little-endian byte order) from 0.
constexpr std::uint32_t crc_word(std::uint32_t word) {
    for (std::size_t k = 0; k < kWord; ++k) word = (word >> 8) ^ kByteTable[word & 0xFFu];
    return word;
}

// kLaneTables[k][b]: what byte b at position k of a lane's word contributes
// to the same lane's word of the next block, kBlock bytes later.
constexpr std::array<Table, kWord> make_lane_tables() {
    std::array<Table, kWord> t{};
    for (std::size_t k = 0; k < kWord; ++k) {
        for (std::uint32_t b = 0; b < 256; ++b) {
            std::uint32_t reg = crc_word(b << (8 * k));
            for (std::size_t z = 0; z < kBlock - kWord; ++z) reg = crc_byte(reg, 0);
            t[k][b] = reg;
        }
    }
    return t;
}

constexpr std::array<Table, kWord> kLaneTables = make_lane_tables();

inline std::uint32_t lane_step(std::uint32_t word) {
    return kLaneTables[0][word & 0xFF] ^ kLaneTables[1][(word >> 8) & 0xFF] ^
           kLaneTables[2][(word >> 16) & 0xFF] ^ kLaneTables[3][word >> 24];
}

}  // namespace

std::uint32_t gen_crc(const std::uint8_t* data, std::uint32_t length, std::uint32_t init) {
    std::uint32_t crc = init;
    std::size_t blocks = length / kBlock;
    if (blocks > 0) {
        // The words are assembled little-endian explicitly, so the same code
        // is right on the big-endian switch and on a PC.
        std::uint32_t lane[kLanes] = {crc, 0, 0, 0, 0, 0};
        for (--blocks; blocks > 0; --blocks) {
            std::uint32_t w[kLanes];
#pragma GCC unroll 6
            for (std::size_t j = 0; j < kLanes; ++j)
                w[j] = lane[j] ^ bytes::load_le32(data + j * kWord);
#pragma GCC unroll 6
            for (std::size_t j = 0; j < kLanes; ++j) lane[j] = lane_step(w[j]);
            data += kBlock;
        }
        // Last block: merge the lanes into one register, word by word.
        crc = 0;
        for (std::size_t j = 0; j < kLanes; ++j)
            crc = crc_word(crc ^ lane[j] ^ bytes::load_le32(data + j * kWord));
        data += kBlock;
        length %= kBlock;
    }
    while (length-- > 0) crc = crc_byte(crc, *data++);
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
