// Buffered streams over descriptors. Large requests bypass the buffer so that a file
// transfer costs one read and one write per batch, with no copy in between.
#include "stream.h"

#include "fdio.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <unistd.h>

volatile sig_atomic_t stream_interrupt = 0;

void stream_open(Stream &s, int fd) {
    s.fd = fd;
    s.eof = false;
    s.error = false;
    s.writing = false;
    s.pos = 0;
    s.len = 0;
}

bool wait_readable(int fd) {
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGALRM);
    sigprocmask(SIG_BLOCK, &block, &old);
    pollfd p{fd, POLLIN, 0};
    // No time-out: ppoll returns when fd is readable or a signal (the alarm) came.
    bool ok = !stream_interrupt && ppoll(&p, 1, nullptr, &old) > 0;
    sigprocmask(SIG_SETMASK, &old, nullptr);
    return ok && !stream_interrupt;
}

namespace {

// One read(2) into p. Returns the count, 0 at end of input, -1 on error or on an
// interruption of an interruptible read.
ssize_t read_once(Stream &s, void *p, std::size_t n, bool interruptible) {
    // What was answered so far goes out before the wait for what comes next, and in one
    // write however many requests came in the last read.
    if (s.answers)
        stream_flush(*s.answers);
    for (;;) {
        if (interruptible && !wait_readable(s.fd))
            return -1;
        ssize_t k = read(s.fd, p, n);
        if (k >= 0)
            return k;
        if (errno != EINTR) {
            s.error = true;
            return -1;
        }
        if (interruptible)
            return -1;
    }
}

} // namespace

std::size_t stream_read(Stream &s, void *p, std::size_t n, bool interruptible) {
    auto *out = static_cast<unsigned char *>(p);
    std::size_t got = 0;
    while (got < n) {
        if (s.pos < s.len) {
            std::size_t k = std::min(n - got, s.len - s.pos);
            std::memcpy(out + got, s.buf.data() + s.pos, k);
            s.pos += k;
            got += k;
            continue;
        }
        if (s.eof || s.fd < 0)
            break;
        s.pos = s.len = 0;
        ssize_t k;
        if (n - got >= s.buf.size()) {
            k = read_once(s, out + got, n - got, interruptible);
            if (k > 0)
                got += static_cast<std::size_t>(k);
        } else {
            k = read_once(s, s.buf.data(), s.buf.size(), interruptible);
            if (k > 0)
                s.len = static_cast<std::size_t>(k);
        }
        if (k == 0)
            s.eof = true;
        if (k <= 0)
            break;
    }
    return got;
}

bool stream_flush(Stream &s) {
    if (!s.writing)
        return !s.error && s.fd >= 0;
    if (s.error || s.fd < 0)
        return false;
    bool ok = write_all(s.fd, s.buf.data(), s.len);
    s.len = 0;
    if (!ok)
        s.error = true;
    return ok;
}

std::size_t stream_write(Stream &s, const void *p, std::size_t n) {
    if (s.error || s.fd < 0)
        return 0;
    auto *in = static_cast<const unsigned char *>(p);
    s.writing = true;
    if (s.len + n <= s.buf.size()) {
        std::memcpy(s.buf.data() + s.len, in, n);
        s.len += n;
        return n;
    }
    if (!stream_flush(s))
        return 0;
    if (n >= s.buf.size()) {
        if (!write_all(s.fd, in, n)) {
            s.error = true;
            return 0;
        }
        return n;
    }
    std::memcpy(s.buf.data(), in, n);
    s.len = n;
    return n;
}

void stream_close(Stream &s) {
    if (s.fd < 0)
        return;
    if (s.writing && s.len > 0)
        stream_flush(s);
    close(s.fd);
    stream_open(s, -1);
}
