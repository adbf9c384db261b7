// Bandwidth limits: the --bwlimit rate and a pacer that holds a connection's data to it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace station {

// Parses a rate such as "100M", "12.5MB", "50Mbit" or "800k": a decimal number, an
// optional multiplier k, M or G (powers of 1000) and an optional unit, "bit" for bits
// per second, "B" or nothing for bytes per second. Returns 0 with the rate in bytes per
// second, or -1 when the text is not such a rate or the rate is below 1 byte per second.
int parse_rate(const char *text, double *bytes_per_second);

// A token bucket that lets bytes go in batches of a few milliseconds' worth: the
// sender sleeps until a whole batch is due, so that pacing costs a wake-up per batch
// rather than a write per byte that trickles in.
struct Pacer {
    double rate = 0;       // bytes per second; 0 means no limit
    double tokens = 0;     // bytes that may go now
    double batch = 0;      // bytes let go at once, when that many are wanted
    double burst = 0;      // most tokens kept: a late wake-up loses none of its due
    long long last_us = 0; // when tokens were last added
    std::int64_t sent = 0; // bytes let through so far
};

// Starts pacing at rate bytes per second (0: unpaced).
void pacer_start(Pacer &p, double rate);

// How many of want bytes may go now: none until a batch (or all of want, when it is
// less) is due. Returns that number; when it is 0, *wait_ms says when to ask again.
std::size_t pacer_allow(Pacer &p, std::size_t want, int *wait_ms);

// Records that n bytes went (n no more than pacer_allow gave).
void pacer_sent(Pacer &p, std::size_t n);

} // namespace station
