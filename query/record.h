// The request and answer records of the query clients, for each of the four variants:
// the layout and the building of a request from the three texts, and the length of the
// text an answer holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quiprec {

// The request record, in this host's byte order: the type at 0, then three 80-byte text
// fields; the wide form adds 176 bytes that the client leaves zero (but for the run-on
// of quipwide's str3).
struct Layout {
    std::size_t request_size; // 420 wide, 244 otherwise
    std::size_t answer_size;  // 256 wide, 80 otherwise
    bool str3_runs_on;        // quipwide: str3 with its NUL runs on to the record's end
};

constexpr Layout layout(bool wide, bool dgram) {
    return {wide ? 420u : 244u, wide ? 256u : 80u, wide && !dgram};
}

constexpr std::size_t largest_request = 420, largest_answer = 256;
constexpr std::size_t type_offset = 0;
constexpr std::size_t str1_offset = 4;
constexpr std::size_t str2_offset = 84;
constexpr std::size_t str3_offset = 164;
constexpr std::size_t field_size = 80;
constexpr std::int32_t query_type = 2;

// Copies text into a field of room bytes with its NUL, cutting a longer text so that the
// NUL still falls inside the field.
inline void put_text(unsigned char *request, std::size_t offset, std::size_t room,
                     const char *text) {
    std::size_t n = strnlen(text, room - 1);
    std::memcpy(request + offset, text, n);
    request[offset + n] = 0;
}

// The short copy of str3: the first 80 bytes, zero-filled after a shorter text.
inline void put_field(unsigned char *request, std::size_t offset, const char *text) {
    std::size_t n = strnlen(text, field_size);
    std::memcpy(request + offset, text, n);
    std::memset(request + offset + n, 0, field_size - n);
}

// Fills request (l.request_size bytes) from the three texts: zeros, the texts cut to
// their fields, and the query type.
inline void build_request(const Layout &l, unsigned char *request, const char *str1,
                          const char *str2, const char *str3) {
    std::memset(request, 0, l.request_size);
    put_text(request, str1_offset, field_size, str1);
    put_text(request, str2_offset, field_size, str2);
    if (l.str3_runs_on)
        put_text(request, str3_offset, l.request_size - str3_offset, str3);
    else
        put_field(request, str3_offset, str3);
    std::memcpy(request + type_offset, &query_type, sizeof query_type);
}

// The length of the text an answer holds: up to its first NUL, at most l.answer_size.
inline std::size_t answer_length(const Layout &l, const char *answer) {
    return strnlen(answer, l.answer_size);
}

} // namespace quiprec
