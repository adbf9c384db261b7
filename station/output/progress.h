// The progress bar of a transfer, drawn on standard error when it is a terminal and
// the transfer has lasted more than a second; scripts see nothing of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

struct ProgressBar {
    bool enabled = false;   // standard error is a terminal and the bar was not turned off
    bool drawn = false;     // a bar stands on the terminal line
    int fd = 2;             // where the bar goes
    std::int64_t total = 0; // bytes to move
    timespec start{};       // when the transfer began
    timespec last{};        // when the bar was last drawn
    char label[48] = {};    // what moves, shortened to fit
};

// Starts a transfer of total bytes under label. The bar is drawn only when enabled is
// set; the caller decides (terminal, no fan-out, not turned off).
void progress_start(ProgressBar &p, const char *label, std::int64_t total, bool enabled);

// Reports done bytes moved. Draws the bar once a second has passed since the start,
// then at most ten times a second.
void progress_update(ProgressBar &p, std::int64_t done);

// Ends the transfer: a bar that was drawn is completed with done bytes and the line is
// ended, so that the result line that follows stands on a line of its own.
void progress_end(ProgressBar &p, std::int64_t done);

// Formats one bar into buf (capacity cap) for a line of width columns: label, bar,
// percentage, bytes and rate. Returns the length written (always < cap).
std::size_t progress_format(char *buf, std::size_t cap, const char *label, std::int64_t done,
                            std::int64_t total, double seconds, int width);
