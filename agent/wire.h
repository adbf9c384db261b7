// Wire primitives of the agent protocol: big-endian shorts and longs, counted strings,
// responses and the hello.
#pragma once

#include "status.h"
#include "stream.h"

#include <cstddef>
#include <cstdint>

// The agent's own standard input and output.
extern Stream std_in;
extern Stream std_out;

// Readers: end of input or a short read ends the process through bye().
int read_char(Stream &s); // one byte, 0 to 255
std::int16_t read_short(Stream &s);
std::int32_t read_long(Stream &s);

// Reads a counted string into buf (capacity cap, terminator included). A length above
// cap - 1 or below 0 logs "String size exceeded size=%d sizeofstring=%d %d" and ends the
// process through bye(); the buffer is zero-filled first, so the text is terminated.
void read_char_string(char *buf, std::size_t cap, Stream &s);

// Writers: failures are not detected; nothing is flushed.
void send_char(int c, Stream &s);
void send_short(std::int16_t v, Stream &s);
void send_long(std::int32_t v, Stream &s);

// Writes n bytes; a short write ends the process through bye().
void send_char_string(const char *p, std::size_t n, Stream &s);

// Sends the text's length (without terminator) as a long, then its bytes.
void send_char_string_with_length(const char *text, Stream &s);

// Writes 'R', the sequence number and the status to standard output. Like every answer
// it goes out before the agent reads more input (std_in.answers) or waits for anything
// else (lock waits, child programs, other hosts): requests that came together are
// answered in one write.
void send_response(std::int32_t seq, Status st);

// Writes "HELLO_v22\n" to standard output, sent as answers are.
void print_hello();

// Removes the unfinished files of the request in progress (cleanup.h), closes the
// activity log and ends the process with exit status 0.
[[noreturn]] void bye();

#ifdef TARKO_FUZZ
// Fuzz builds only: when set, bye() calls it after closing the log instead of ending
// the process. It must not return (a fuzz target jumps back to its own frame), so the
// readers never go on past the end of their input.
extern void (*bye_hook)();
#endif
