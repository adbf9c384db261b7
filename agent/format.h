// Formatting into the agent's fixed-size buffers.
#pragma once

#include <array>
#include <cstdarg>
#include <cstddef>
#include <cstdio>

// snprintf into buf. Returns true when the whole text fitted; a text that did not fit
// is cut and still terminated, and the caller refuses it.
template <std::size_t N>
__attribute__((format(printf, 2, 3))) bool format_fits(std::array<char, N> &buf, const char *fmt,
                                                       ...) {
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(buf.data(), N, fmt, ap);
    va_end(ap);
    return n >= 0 && static_cast<std::size_t>(n) < N;
}
