// How the fuzz targets split one input: the first byte says how many script bytes
// follow (up to 63), the script chooses what the target does, and the rest of the input
// is the data it does it on (a peer's byte stream, texts, arguments).
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace fuzzin {

struct Script {
    std::vector<unsigned char> ops;
    std::string_view data;

    Script(const std::uint8_t *p, std::size_t n) {
        std::size_t k = n > 0 ? std::min<std::size_t>(p[0] % 64, n - 1) : 0;
        if (n > 0)
            ops.assign(p + 1, p + 1 + k);
        std::size_t used = n > 0 ? 1 + k : 0;
        data = std::string_view(reinterpret_cast<const char *>(p) + used, n - used);
    }
    const char *rest() const { return data.data(); }
    std::size_t rest_size() const { return data.size(); }
};

// Splits text at NUL bytes into at most max pieces (the last takes what is left), each
// a string of its own, so that arguments and texts can hold any other byte.
inline std::vector<std::string> split_nul(std::string_view text, std::size_t max) {
    std::vector<std::string> out;
    while (out.size() + 1 < max) {
        std::size_t z = text.find('\0');
        if (z == std::string_view::npos)
            break;
        out.emplace_back(text.substr(0, z));
        text.remove_prefix(z + 1);
    }
    out.emplace_back(text);
    return out;
}

// Says what property broke (seen when the input is replayed) and ends the run as a
// crash, so that the fuzzer keeps the input.
[[noreturn]] inline void fail(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
inline void fail(const char *fmt, ...) {
    std::va_list ap;
    va_start(ap, fmt);
    std::vfprintf(stderr, fmt, ap);
    va_end(ap);
    std::fputc('\n', stderr);
    std::abort();
}

} // namespace fuzzin
