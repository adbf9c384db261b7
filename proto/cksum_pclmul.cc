// The checksum with carry-less multiplication. The CRC is the remainder of the message
// polynomial (first bit highest) times x^32, modulo P = x^32 + 0x04C11DB7. Four
// 128-bit lanes, 64 bytes apart, are each multiplied forward by x^512 mod P and
// added to the next 64 bytes until the data runs out; the lanes are then folded into
// one, and the last 128 bits are reduced to the 32-bit state with a Barrett step.
// Where the processor multiplies 256-bit registers, a wider variant folds twice as
// many blocks per instruction. Every constant is derived from P at compile time.
#include "cksum.h"
#include "cksum_impl.h"

#if defined(__x86_64__)

#include <immintrin.h>

namespace {

constexpr std::uint32_t POLY = 0x04C11DB7;

// x^n mod P.
constexpr std::uint64_t xpow(unsigned n) {
    std::uint32_t r = 1;
    for (unsigned i = 0; i < n; i++)
        r = (r << 1) ^ ((r & 0x80000000u) ? POLY : 0);
    return r;
}

// floor(x^64 / P), a polynomial of degree 32.
constexpr std::uint64_t barrett_mu() {
    const unsigned __int128 p = (unsigned __int128)(0x100000000ull | POLY);
    unsigned __int128 r = (unsigned __int128)1 << 64;
    std::uint64_t q = 0;
    for (int d = 64; d >= 32; d--)
        if ((r >> d) & 1) {
            q |= std::uint64_t(1) << (d - 32);
            r ^= p << (d - 32);
        }
    return q;
}

constexpr std::uint64_t MU = barrett_mu();
constexpr std::uint64_t X64 = xpow(64);
constexpr std::uint64_t X96 = xpow(96);
constexpr std::uint64_t P_FULL = 0x100000000ull | POLY;
static_assert(MU == 0x104D101DFull, "Barrett constant of the cksum polynomial");

#define CKSUM_TARGET __attribute__((target("pclmul,ssse3")))

// x * x^D mod P for a 128-bit x, with k = {low: x^D mod P, high: x^(D+64) mod P}:
// the high half moves up by D+64 bits and the low half by D, each already reduced
// to 32 bits, so the sum fits in 96 bits.
CKSUM_TARGET inline __m128i fold(__m128i x, __m128i k) {
    return _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x11), _mm_clmulepi64_si128(x, k, 0x00));
}

// Sixteen bytes as one polynomial: the first byte's top bit becomes bit 127.
CKSUM_TARGET inline __m128i load(const unsigned char *p) {
    const __m128i swap = _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)), swap);
}

// The folding constants for a distance of D bits, worked out by the compiler.
template <unsigned D>
struct FoldBy {
    static constexpr std::uint64_t LO = xpow(D);
    static constexpr std::uint64_t HI = xpow(D + 64);
};

template <unsigned D>
CKSUM_TARGET inline __m128i konst() {
    return _mm_set_epi64x(static_cast<long long>(FoldBy<D>::HI),
                          static_cast<long long>(FoldBy<D>::LO));
}

// Folds the remaining 16-byte blocks into x, reduces x to the 32-bit state and feeds
// the last few bytes; x holds everything before p.
CKSUM_TARGET std::uint32_t finish(__m128i x, const unsigned char *p, std::size_t n) {
    const __m128i k128 = konst<128>();
    for (; n >= 16; p += 16, n -= 16)
        x = _mm_xor_si128(fold(x, k128), load(p));

    // The state is x * x^32 mod P. First x * x^32 = high * x^96 + low * x^32, with
    // x^96 reduced: at most 96 bits.
    const __m128i k96_64 = _mm_set_epi64x(static_cast<long long>(X64), static_cast<long long>(X96));
    __m128i t =
        _mm_xor_si128(_mm_clmulepi64_si128(x, k96_64, 0x01), _mm_slli_si128(_mm_move_epi64(x), 4));
    // Then the 32 bits above x^64, reduced: at most 64 bits.
    __m128i r = _mm_xor_si128(_mm_clmulepi64_si128(t, k96_64, 0x11), _mm_move_epi64(t));
    // Barrett: the quotient by P is floor(floor(r / x^32) * mu / x^32), and the
    // remainder is the low 32 bits of r - quotient * P.
    const __m128i barrett =
        _mm_set_epi64x(static_cast<long long>(P_FULL), static_cast<long long>(MU));
    __m128i q = _mm_srli_epi64(_mm_clmulepi64_si128(_mm_srli_epi64(r, 32), barrett, 0x00), 32);
    r = _mm_xor_si128(r, _mm_clmulepi64_si128(q, barrett, 0x10));
    auto s = static_cast<std::uint32_t>(_mm_cvtsi128_si32(r));

    return cksum_slice8(s, p, n);
}

// The same folding two blocks at a time: each 256-bit register holds two consecutive
// 16-byte blocks, and the carry-less multiply works on both halves at once.
#define CKSUM_TARGET_WIDE __attribute__((target("pclmul,ssse3,avx2,vpclmulqdq")))

CKSUM_TARGET_WIDE inline __m256i fold2(__m256i y, __m256i k) {
    return _mm256_xor_si256(_mm256_clmulepi64_epi128(y, k, 0x11),
                            _mm256_clmulepi64_epi128(y, k, 0x00));
}

CKSUM_TARGET_WIDE inline __m256i load2(const unsigned char *p) {
    const __m256i swap = _mm256_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 0, 1,
                                         2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    return _mm256_shuffle_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(p)), swap);
}

template <unsigned D>
CKSUM_TARGET_WIDE inline __m256i konst2() {
    return _mm256_set_epi64x(
        static_cast<long long>(FoldBy<D>::HI), static_cast<long long>(FoldBy<D>::LO),
        static_cast<long long>(FoldBy<D>::HI), static_cast<long long>(FoldBy<D>::LO));
}

} // namespace

CKSUM_TARGET std::uint32_t cksum_pclmul(std::uint32_t s, const unsigned char *p, std::size_t n) {
    if (n < 64)
        return cksum_slice8(s, p, n);

    // The running state belongs on top of the first four bytes: the register after
    // them is (state * x^32 + their polynomial * x^32) mod P.
    __m128i x0 = _mm_xor_si128(load(p), _mm_set_epi32(static_cast<int>(s), 0, 0, 0));
    __m128i x1 = load(p + 16);
    __m128i x2 = load(p + 32);
    __m128i x3 = load(p + 48);
    p += 64;
    n -= 64;

    const __m128i k512 = konst<512>();
    for (; n >= 64; p += 64, n -= 64) {
        x0 = _mm_xor_si128(fold(x0, k512), load(p));
        x1 = _mm_xor_si128(fold(x1, k512), load(p + 16));
        x2 = _mm_xor_si128(fold(x2, k512), load(p + 32));
        x3 = _mm_xor_si128(fold(x3, k512), load(p + 48));
    }

    __m128i x = _mm_xor_si128(_mm_xor_si128(fold(x0, konst<384>()), fold(x1, konst<256>())),
                              _mm_xor_si128(fold(x2, konst<128>()), x3));
    return finish(x, p, n);
}

CKSUM_TARGET_WIDE std::uint32_t cksum_vpclmul(std::uint32_t s, const unsigned char *p,
                                              std::size_t n) {
    if (n < 256)
        return cksum_pclmul(s, p, n);

    // Four registers of two blocks: 128 bytes per step, each block moved forward by
    // x^1024 mod P. The state goes on top of the very first block (the low half).
    __m256i y0 =
        _mm256_xor_si256(load2(p), _mm256_set_epi32(0, 0, 0, 0, static_cast<int>(s), 0, 0, 0));
    __m256i y1 = load2(p + 32);
    __m256i y2 = load2(p + 64);
    __m256i y3 = load2(p + 96);
    p += 128;
    n -= 128;

    const __m256i k1024 = konst2<1024>();
    for (; n >= 128; p += 128, n -= 128) {
        y0 = _mm256_xor_si256(fold2(y0, k1024), load2(p));
        y1 = _mm256_xor_si256(fold2(y1, k1024), load2(p + 32));
        y2 = _mm256_xor_si256(fold2(y2, k1024), load2(p + 64));
        y3 = _mm256_xor_si256(fold2(y3, k1024), load2(p + 96));
    }

    // Into one register: y0 lies 768 bits before y3, y1 512, y2 256; then its low
    // block lies 128 bits before its high block.
    __m256i y =
        _mm256_xor_si256(_mm256_xor_si256(fold2(y0, konst2<768>()), fold2(y1, konst2<512>())),
                         _mm256_xor_si256(fold2(y2, konst2<256>()), y3));
    __m128i x = _mm_xor_si128(fold(_mm256_castsi256_si128(y), konst<128>()),
                              _mm256_extracti128_si256(y, 1));
    return finish(x, p, n);
}

bool cksum_pclmul_usable() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("ssse3");
}

bool cksum_vpclmul_usable() {
    __builtin_cpu_init();
    return cksum_pclmul_usable() && __builtin_cpu_supports("avx2") &&
           __builtin_cpu_supports("vpclmulqdq");
}

#else

std::uint32_t cksum_pclmul(std::uint32_t s, const unsigned char *p, std::size_t n) {
    return cksum_slice8(s, p, n);
}

bool cksum_pclmul_usable() {
    return false;
}

#endif
