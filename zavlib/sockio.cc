// Moving a whole buffer over a socket under an overall time limit in seconds.
#include "sys_hdrs.h"
#include "zavlib.h"

int timed_send(int s, const void *buffer, int length, int limit) {
    errno = 0;
    time_t start = time(nullptr);
    const char *bytes = static_cast<const char *>(buffer);
    int written = 0;
    bool socket_calls = true;
    for (;;) {
        std::size_t want = length > written ? static_cast<std::size_t>(length - written) : 0;
        // send without SIGPIPE, so that a service that reset the connection costs an
        // error result rather than the process; plain write for a descriptor that is
        // not a socket.
        ssize_t n = socket_calls ? send(s, bytes + written, want, MSG_NOSIGNAL)
                                 : write(s, bytes + written, want);
        if (n < 0 && socket_calls && errno == ENOTSOCK) {
            socket_calls = false;
            continue;
        }
        if (n < 0) {
            if (errno == EINTR) {
                errlog_errno("LCL", "Send:  Interruptted");
                continue;
            }
            return -1;
        }
        written += static_cast<int>(n);
        if (written >= length)
            return 0;
        if (time(nullptr) - start > limit)
            return -2;
    }
}

int timed_recv(int s, void *buffer, int length, int limit) {
    errno = 0;
    // An fd_set holds descriptors below FD_SETSIZE only; setting a bit for a larger one
    // would write past it.
    if (s < 0 || s >= FD_SETSIZE) {
        errno = EBADF;
        return -3;
    }
    if (length <= 0)
        return 0;
    time_t start = time(nullptr);
    char *bytes = static_cast<char *>(buffer);
    int got = 0;
    struct timeval wait {};
    wait.tv_sec = limit;
    for (;;) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(s, &readable);
        // On an interruption select leaves the time still to wait in `wait`.
        int ready = select(FD_SETSIZE, &readable, nullptr, nullptr, &wait);
        if (ready == 0)
            return -2;
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return -3;
        }
        if (!FD_ISSET(s, &readable))
            return -5;
        long elapsed = static_cast<long>(time(nullptr) - start);

        ssize_t n;
        do
            n = read(s, bytes + got, static_cast<std::size_t>(length - got));
        while (n < 0 && errno == EINTR);
        if (n < 0)
            return -1;
        if (n == 0)
            return -4;
        got += static_cast<int>(n);
        if (got >= length)
            return 0;

        long left = limit - elapsed;
        if (left <= 0)
            return -2;
        wait.tv_sec = left;
        wait.tv_usec = 0;
    }
}
