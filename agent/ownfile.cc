// Opening without trusting what stands at a path. A name in a directory that others can
// write may be replaced between any two calls, so every decision is checked again on
// the descriptor itself: what was opened is the file that was looked at.
#include "ownfile.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A planter racing the agent makes it start over; past this many rounds the path is
// given up on rather than fought over for the rest of the request's time.
constexpr int ROUNDS = 64;

bool same_file(const struct stat &a, const struct stat &b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The descriptor back in blocking mode: the open only had to not wait.
int blocking(int fd) {
    int fl = fcntl(fd, F_GETFL);
    if (fl < 0 || fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) < 0) {
        int e = errno;
        close(fd);
        errno = e;
        return -1;
    }
    return fd;
}

} // namespace

bool is_own_file(const struct stat &st) {
    return S_ISREG(st.st_mode) && st.st_uid == geteuid() && st.st_nlink == 1;
}

int open_own(const char *path, int extra_flags, mode_t mode) {
    const int flags = O_WRONLY | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC | extra_flags;
    for (int round = 0; round < ROUNDS; round++) {
        // O_EXCL fails on anything at the path, a dangling link included.
        int fd = open(path, flags | O_CREAT | O_EXCL, mode);
        if (fd >= 0 || errno != EEXIST)
            return fd;
        struct stat named;
        if (lstat(path, &named) < 0) {
            if (errno == ENOENT)
                continue;
            return -1;
        }
        if (!is_own_file(named)) {
            if (unlink(path) < 0 && errno != ENOENT)
                return -1;
            continue;
        }
        // Ours when looked at; the descriptor must show the same file, or the name was
        // swapped in between (a link now fails with ELOOP, a pipe does not wait).
        fd = open(path, flags | O_NONBLOCK);
        if (fd < 0) {
            if (errno == ENOENT || errno == ELOOP || errno == ENXIO)
                continue;
            return -1;
        }
        struct stat held;
        if (fstat(fd, &held) == 0 && same_file(held, named) && is_own_file(held))
            return blocking(fd);
        close(fd);
    }
    errno = EEXIST;
    return -1;
}

int open_own_empty(const char *path, mode_t mode) {
    int fd = open_own(path, 0, mode);
    struct stat st;
    if (fd < 0 || (fstat(fd, &st) == 0 && st.st_size == 0) || ftruncate(fd, 0) == 0)
        return fd;
    int e = errno;
    close(fd);
    errno = e;
    return -1;
}

int open_regular(const char *path) {
    struct stat named;
    if (stat(path, &named) == 0 && !S_ISREG(named.st_mode)) {
        errno = ENXIO;
        return -1;
    }
    // The name may have changed since: the open does not wait, and the descriptor must
    // be a regular file too.
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat held;
    int e = fstat(fd, &held) < 0 ? errno : S_ISREG(held.st_mode) ? 0 : ENXIO;
    if (e != 0) {
        close(fd);
        errno = e;
        return -1;
    }
    return blocking(fd);
}
