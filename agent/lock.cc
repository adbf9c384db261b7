// Advisory locks (flock) between agents. A lock belongs to the open file, not to the
// process, so it lasts exactly as long as the descriptor and ends with the agent
// however the agent ends.
#include "lock.h"

#include "ownfile.h"
#include "wire.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Closes fd and fails with the errno of the call that failed before.
int close_failed(int fd) {
    int e = errno;
    close(fd);
    errno = e;
    return -1;
}

// Waits for the lock on fd, with the answers given so far sent before a wait. Returns
// false, with fd closed and errno kept, on failure.
bool wait_lock(int fd) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0)
        return true;
    if (errno == EWOULDBLOCK)
        stream_flush(std_out);
    while (flock(fd, LOCK_EX) < 0) {
        if (errno == EINTR)
            continue;
        close_failed(fd);
        return false;
    }
    return true;
}

} // namespace

int open_locked(const char *path) {
    for (;;) {
        int fd = open_own(path, 0, 0666);
        if (fd < 0 || !wait_lock(fd))
            return -1;
        struct stat held, named;
        if (fstat(fd, &held) < 0)
            return close_failed(fd);
        if (lstat(path, &named) == 0) {
            if (held.st_dev == named.st_dev && held.st_ino == named.st_ino && is_own_file(held)) {
                // Truncating a file that is already empty is not free: some file systems
                // then flush all they are given before its close returns.
                if (held.st_size == 0 || ftruncate(fd, 0) == 0)
                    return fd;
                return close_failed(fd);
            }
        } else if (errno != ENOENT) {
            return close_failed(fd);
        }
        // The holder renamed or removed this file while we waited, or somebody linked to
        // it: ours is the next.
        close(fd);
    }
}

int lock_directory(const char *path) {
    int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 || !wait_lock(fd))
        return -1;
    return fd;
}

Lock::~Lock() {
    if (fd >= 0)
        close(fd);
}
