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

// A token bucket: bytes may go as fast as the rate allows, with bursts of a few
// milliseconds' worth so that single writes need not be tiny.
struct Pacer {
    double rate = 0;       // bytes per second; 0 means no limit
    double tokens = 0;     // bytes that may go now
    double burst = 0;      // most tokens kept
    long long last_us = 0; // when tokens were last added
    std::int64_t sent = 0; // bytes let through so far
};

// Starts pacing at rate bytes per second (0: unpaced).
void pacer_start(Pacer &p, double rate);

// How many of want bytes may go now. Returns that number; when it is 0, *wait_ms says
// how long to wait before asking again.
std::size_t pacer_allow(Pacer &p, std::size_t want, int *wait_ms);

// Records that n bytes went (n no more than pacer_allow gave).
void pacer_sent(Pacer &p, std::size_t n);

} // namespace station
