// A buffered byte stream over one descriptor, used in one direction: the agent's
// standard input and output, and the two pipes of a relay connection. Our own rather
// than stdio so that large transfers move in big reads and writes, and so that a read
// interrupted by the alarm can be told apart from end of input.
#pragma once

#include <array>
#include <csignal>
#include <cstddef>

struct Stream {
    int fd = -1;
    bool eof = false;          // reading: end of input seen
    bool error = false;        // a read or write failed
    bool writing = false;      // used for writing: the buffer holds bytes to send
    std::size_t pos = 0;       // reading: next unread byte of buf
    std::size_t len = 0;       // reading: end of the buffered bytes; writing: bytes pending
    Stream *answers = nullptr; // reading: flushed before every read of more input
    std::array<unsigned char, 64 * 1024> buf;
};

// Set by a signal handler to cut an interruptible read short; cleared by arm_alarm()
// whenever the alarm clock is armed. Checked atomically with the wait for input, so an
// alarm that fires just before a read blocks still ends it.
extern volatile sig_atomic_t stream_interrupt;

// Waits until fd is readable, with SIGALRM blocked except inside ppoll, so that an
// alarm cannot slip in between the check of stream_interrupt and the wait. Returns
// false when the wait was cut short by a signal or stream_interrupt was already set.
bool wait_readable(int fd);

// Attaches the stream to fd, with an empty buffer and no flags set (answers is kept).
void stream_open(Stream &s, int fd);

// Reads up to n bytes, looping until n bytes have come, end of input, or an error.
// A read interrupted by a signal is repeated, unless interruptible is set: then the
// read stops at the first signal, or at once when stream_interrupt is set (the timed
// read relies on it). Returns the number of bytes read. Requests of a buffer's size or
// more go straight into p when nothing is buffered.
std::size_t stream_read(Stream &s, void *p, std::size_t n, bool interruptible = false);

// Buffers n bytes, writing out the buffer as it fills. Returns the number of bytes
// accepted: n, or fewer when a write failed (the stream's error flag is then set and
// later writes accept nothing).
std::size_t stream_write(Stream &s, const void *p, std::size_t n);

// Writes out the pending bytes. Returns true when all of them went out.
bool stream_flush(Stream &s);

// Flushes a write stream, closes the descriptor and detaches the stream.
void stream_close(Stream &s);
