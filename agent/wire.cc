// Wire primitives: big-endian integers, counted strings, responses and the hello on the
// agent's own streams, and the timed reads of the relay client.
#include "wire.h"

#include "cleanup.h"
#include "log.h"
#include "loop.h"

#include <cstdlib>
#include <cstring>
#include <unistd.h>

Stream std_in{.fd = 0, .buf = {}};
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
    return static_cast<std::int16_t>((b[0] << 8) | b[1]);
}

std::int32_t read_long(Stream &s) {
    unsigned char b[4];
    read_exact(b, 4, s);
    return static_cast<std::int32_t>((std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) |
                                     (std::uint32_t{b[2]} << 8) | std::uint32_t{b[3]});
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
    auto u = static_cast<std::uint16_t>(v);
    unsigned char b[2] = {static_cast<unsigned char>(u >> 8), static_cast<unsigned char>(u)};
    stream_write(s, b, 2);
}

void send_long(std::int32_t v, Stream &s) {
    auto u = static_cast<std::uint32_t>(v);
    unsigned char b[4] = {static_cast<unsigned char>(u >> 24), static_cast<unsigned char>(u >> 16),
                          static_cast<unsigned char>(u >> 8), static_cast<unsigned char>(u)};
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
    auto u = static_cast<std::uint32_t>(seq);
    auto c = static_cast<std::uint16_t>(code(st));
    b[0] = 'R';
    b[1] = static_cast<unsigned char>(u >> 24);
    b[2] = static_cast<unsigned char>(u >> 16);
    b[3] = static_cast<unsigned char>(u >> 8);
    b[4] = static_cast<unsigned char>(u);
    b[5] = static_cast<unsigned char>(c >> 8);
    b[6] = static_cast<unsigned char>(c);
    stream_write(std_out, b, sizeof b);
    stream_flush(std_out);
}

void print_hello() {
    stream_write(std_out, "HELLO_v22\n", 10);
    stream_flush(std_out);
}

std::size_t timedfread(void *buf, std::size_t size, std::size_t count, Stream &s,
                       unsigned seconds) {
    arm_alarm(seconds, SignalReadTimeout);
    std::size_t got = size == 0 ? 0 : stream_read(s, buf, size * count, true);
    arm_alarm(REQUEST_LIMIT, SignalAlarmTimeout);
    return size == 0 ? 0 : got / size;
}

Status read_response(std::int32_t expected, Stream &s) {
    constexpr unsigned LIMIT = 10;
    unsigned char c = 0;
    do {
        if (timedfread(&c, 1, 1, s, LIMIT) != 1)
            return Status::NoResponse;
    } while (c != 'R');
    unsigned char b[4];
    if (timedfread(b, 4, 1, s, LIMIT) != 1)
        return Status::NoResponse;
    auto seq = static_cast<std::int32_t>((std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) |
                                         (std::uint32_t{b[2]} << 8) | std::uint32_t{b[3]});
    if (seq != expected)
        return Status::SeqMismatch;
    unsigned char st[2];
    if (timedfread(st, 2, 1, s, LIMIT) != 1)
        return Status::NoResponse;
    return static_cast<Status>(static_cast<std::int16_t>((st[0] << 8) | st[1]));
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
