// The three ways the checksum unit feeds bytes to the running CRC state. cksum_calc
// picks the fastest one the processor offers; the tests call each one directly to
// prove them identical. All three compute, for each byte b,
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

// True when this processor has the instructions cksum_pclmul needs (PCLMULQDQ,
// SSSE3, SSE4.1); always false on other architectures.
bool cksum_pclmul_usable();
