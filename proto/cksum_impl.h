// The ways the checksum unit feeds bytes to the running CRC state. cksum_calc
// picks the fastest one the processor offers; the tests call each one directly to
// prove them identical. All of them compute, for each byte b,
// state = (state << 8) ^ crctab[(state >> 24) ^ b], and differ only in speed.
#pragma once

#include <cstddef>
#include <cstdint>

// One table lookup per byte: the definition itself. Returns the new state.
std::uint32_t cksum_bytes(std::uint32_t state, const unsigned char *p, std::size_t n);

// Eight bytes per step through eight derived tables; portable. Returns the new state.
std::uint32_t cksum_slice8(std::uint32_t state, const unsigned char *p, std::size_t n);

// Folds 64-byte blocks with carry-less multiplication and Barrett-reduces the result;
// short inputs and the tail go through cksum_slice8. Only to be called when
// cksum_pclmul_usable() is true. Returns the new state.
std::uint32_t cksum_pclmul(std::uint32_t state, const unsigned char *p, std::size_t n);

// True when this processor has the instructions cksum_pclmul needs (PCLMULQDQ and
// SSSE3); always false on other architectures.
bool cksum_pclmul_usable();

// The same folding over 256-bit registers, two blocks per multiply (VPCLMULQDQ with
// AVX2); inputs under 256 bytes go to cksum_pclmul. Only to be called when
// cksum_vpclmul_usable() is true. Returns the new state.
std::uint32_t cksum_vpclmul(std::uint32_t state, const unsigned char *p, std::size_t n);

// True when this processor has what cksum_vpclmul needs (those of cksum_pclmul, AVX2
// and VPCLMULQDQ); always false on other architectures.
bool cksum_vpclmul_usable();

// The path cksum_calc feeds its bytes through on this processor: "vpclmul", "pclmul"
// or "slice8".
const char *cksum_chosen_path();
