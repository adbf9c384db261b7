// Slicing-by-8 for the most-significant-bit-first CRC: eight bytes are combined
// with eight tables in one step instead of eight dependent lookups.
#include "cksum.h"
#include "cksum_impl.h"

#include <array>

namespace {

constexpr std::uint32_t POLY = 0x04C11DB7;

// table[k][i] is byte i followed by k zero bytes, shifted through the register:
// i * x^(32 + 8k) mod P. table[0] is the standard table crctab.
constexpr std::array<std::array<std::uint32_t, 256>, 8> make_tables() {
    std::array<std::array<std::uint32_t, 256>, 8> t{};
    for (std::uint32_t i = 0; i < 256; i++) {
        std::uint32_t r = i << 24;
        for (int bit = 0; bit < 8; bit++)
            r = (r << 1) ^ ((r & 0x80000000u) ? POLY : 0);
        t[0][i] = r;
    }
    for (std::size_t k = 1; k < 8; k++)
        for (std::size_t i = 0; i < 256; i++) {
            std::uint32_t r = t[k - 1][i];
            t[k][i] = (r << 8) ^ t[0][r >> 24];
        }
    return t;
}

constexpr auto TABLES = make_tables();

// Whatever the host's byte order; compilers turn this into one load and a swap.
std::uint32_t load_be32(const unsigned char *p) {
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 |
           std::uint32_t(p[3]);
}

} // namespace

std::uint32_t cksum_slice8(std::uint32_t s, const unsigned char *p, std::size_t n) {
    const auto &t = TABLES;
    for (; n >= 8; n -= 8, p += 8) {
        std::uint32_t a = s ^ load_be32(p);
        std::uint32_t b = load_be32(p + 4);
        s = t[7][a >> 24] ^ t[6][(a >> 16) & 0xFF] ^ t[5][(a >> 8) & 0xFF] ^ t[4][a & 0xFF] ^
            t[3][b >> 24] ^ t[2][(b >> 16) & 0xFF] ^ t[1][(b >> 8) & 0xFF] ^ t[0][b & 0xFF];
    }
    for (; n > 0; n--, p++)
        s = (s << 8) ^ t[0][(s >> 24) ^ *p];
    return s;
}
