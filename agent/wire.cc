// Wire primitives: big-endian integers, counted strings, responses and the hello on the
// agent's own streams.
#include "wire.h"

#include "cleanup.h"
#include "log.h"
#include "protocol.h"

#include <cstdlib>
#include <cstring>
#include <unistd.h>

Stream std_in{.fd = 0, .answers = &std_out, .buf = {}};
Stream std_out{.fd = 1, .buf = {}};

namespace {

void read_exact(void *p, std::size_t n, Stream &s) {
    if (stream_read(s, p, n) != n)
        bye();
}

} // namespace

int read_char(Stream &s) {
    unsigned char c;
    read_exact(&c, 1, s);
    return c;
}

std::int16_t read_short(Stream &s) {
    unsigned char b[2];
    read_exact(b, 2, s);
    return get_be16(b);
}

std::int32_t read_long(Stream &s) {
    unsigned char b[4];
    read_exact(b, 4, s);
    return get_be32(b);
}

void read_char_string(char *buf, std::size_t cap, Stream &s) {
    std::int32_t n = read_long(s);
    if (n < 0 || static_cast<std::size_t>(n) > cap - 1) {
        log_entry("String size exceeded size=%d sizeofstring=%d %d", n, static_cast<int>(cap),
                  static_cast<int>(getpid()));
        bye();
    }
    std::memset(buf, 0, cap);
    read_exact(buf, static_cast<std::size_t>(n), s);
}

void send_char(int c, Stream &s) {
    unsigned char b = static_cast<unsigned char>(c);
    stream_write(s, &b, 1);
}

void send_short(std::int16_t v, Stream &s) {
    unsigned char b[2];
    put_be16(b, v);
    stream_write(s, b, 2);
}

void send_long(std::int32_t v, Stream &s) {
    unsigned char b[4];
    put_be32(b, v);
    stream_write(s, b, 4);
}

void send_char_string(const char *p, std::size_t n, Stream &s) {
    if (stream_write(s, p, n) != n)
        bye();
}

void send_char_string_with_length(const char *text, Stream &s) {
    std::size_t n = std::strlen(text);
    send_long(static_cast<std::int32_t>(n), s);
    send_char_string(text, n, s);
}

void send_response(std::int32_t seq, Status st) {
    unsigned char b[7];
    b[0] = RESPONSE_MARK;
    put_be32(b + 1, seq);
    put_be16(b + 5, static_cast<std::int16_t>(st));
    stream_write(std_out, b, sizeof b);
}

void print_hello() {
    stream_write(std_out, HELLO.data(), HELLO.size());
}

#ifdef TARKO_FUZZ
void (*bye_hook)() = nullptr;
#endif

void bye() {
    // The connection ended inside a request: what it left unfinished goes too.
    cleanup_now("");
    stream_flush(std_out);
    close_log_file();
#ifdef TARKO_FUZZ
    if (bye_hook)
        bye_hook();
#endif
    std::exit(0);
}
