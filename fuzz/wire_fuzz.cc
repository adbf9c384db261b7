// The agent's frame readers over a memory stream. The first bytes of the input are a
// script of reads (one byte each: the reader and, for a counted string, the capacity of
// its buffer); after the script's end marker comes the stream the reads consume. Every
// read must take exactly its bytes, every counted string must land terminated inside its
// buffer, and the agent must end (through bye) exactly when the stream runs short or a
// length is out of bounds.
#include "fuzz_input.h"
#include "relay.h"
#include "stream.h"
#include "wire.h"

#include <array>
#include <csetjmp>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

std::jmp_buf ended;
// Set by each step before its read: the read must end the agent.
volatile bool must_end = false;

[[noreturn]] void back_to_target() {
    std::longjmp(ended, 1);
}

// Buffer capacities of the agent's counted strings and the values around them.
constexpr std::array<std::size_t, 12> caps = {1, 2, 31, 32, 33, 63, 64, 95, 96, 97, 1024, 4096};

// One heap buffer of exactly each capacity, so that one byte too many is a sanitizer
// report. Made once: a string read that ends the agent jumps past any destructor.
std::array<char *, caps.size()> bufs;

enum class Read { Char, Short, Long, String, Response };

std::int32_t be32(const unsigned char *b) {
    return static_cast<std::int32_t>((std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) |
                                     (std::uint32_t{b[2]} << 8) | std::uint32_t{b[3]});
}

// One step of the script against the stream s. Sets must_end before the read when the
// read must end the agent.
void step(unsigned char op, Stream &s) {
    std::size_t left = s.len - s.pos;
    const unsigned char *next = s.buf.data() + s.pos;
    auto kind = static_cast<Read>(op % 5);
    switch (kind) {
    case Read::Char: {
        must_end = left < 1;
        int c = read_char(s);
        if (c != next[0])
            fuzzin::fail("read_char: wrong byte");
        return;
    }
    case Read::Short: {
        must_end = left < 2;
        std::int16_t v = read_short(s);
        if (v != static_cast<std::int16_t>((next[0] << 8) | next[1]))
            fuzzin::fail("read_short: wrong value");
        return;
    }
    case Read::Long: {
        must_end = left < 4;
        if (read_long(s) != be32(next))
            fuzzin::fail("read_long: wrong value");
        return;
    }
    case Read::String: {
        std::size_t which = (op / 5) % caps.size(), cap = caps[which];
        char *buf = bufs[which];
        std::int32_t n = left >= 4 ? be32(next) : 0;
        must_end = left < 4 || n < 0 || static_cast<std::size_t>(n) > cap - 1 ||
                   left - 4 < static_cast<std::size_t>(n);
        read_char_string(buf, cap, s);
        if (std::memcmp(buf, next + 4, static_cast<std::size_t>(n)) != 0 ||
            buf[static_cast<std::size_t>(n)] != '\0')
            fuzzin::fail("read_char_string: wrong text or no terminator");
        return;
    }
    case Read::Response: {
        // The relay client's reader never ends the agent: it skips to 'R' and reports.
        must_end = false;
        read_response(static_cast<std::int32_t>(op), s);
        alarm(0);
        return;
    }
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    bye_hook = back_to_target;
    for (std::size_t i = 0; i < caps.size(); i++)
        bufs[i] = new char[caps[i]];
    // The relay reader arms the alarm; its handlers only set flags, but the default
    // action of a stray alarm would end the fuzzer.
    signal(SIGALRM, SIG_IGN);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    fuzzin::Script script(data, size);
    static Stream s;
    std::size_t n = std::min(script.rest_size(), s.buf.size());
    stream_open(s, -1);
    std::memcpy(s.buf.data(), script.rest(), n);
    s.len = n;
    s.eof = true;

    must_end = false;
    if (setjmp(ended) != 0) {
        // The agent ended: only where the step said it must.
        if (!must_end)
            fuzzin::fail("the agent ended where it must not");
        return 0;
    }
    for (unsigned char op : script.ops) {
        step(op, s);
        if (must_end)
            fuzzin::fail("the agent went on where it must end");
    }
    return 0;
}
