// The transfer checksum: the CRC of the POSIX cksum utility (polynomial 0x04C11DB7,
// most significant bit first, initial value 0, the length appended, complemented).
#pragma once

#include <cstddef>
#include <cstdint>

// The standard's table: entry i is the register after shifting byte i through the
// polynomial from the top of a zero register.
extern const std::uint32_t crctab[256];

// Starts a checksum: *state = 0.
void cksum_init(std::uint32_t *state);

// Feeds length bytes of data to the running state.
void cksum_calc(const void *data, std::size_t length, std::uint32_t *state);

// Feeds the total length (least significant byte first, none for total <= 0) and
// stores the complement in *state, which is then the checksum.
void cksum_final(std::int64_t total, std::uint32_t *state);
