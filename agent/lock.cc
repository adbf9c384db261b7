// Advisory locks (flock) between agents. A lock belongs to the open file, not to the
// process, so it lasts exactly as long as the descriptor and ends with the agent
// however the agent ends.
#include "lock.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Waits for the lock on fd. Returns false, with fd closed and errno kept, on failure.
bool wait_lock(int fd) {
    while (flock(fd, LOCK_EX) < 0) {
        if (errno == EINTR)
            continue;
        int e = errno;
        close(fd);
        errno = e;
        return false;
    }
    return true;
}

} // namespace

int open_locked(const char *path) {
    for (;;) {
        int fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
        if (fd < 0 || !wait_lock(fd))
            return -1;
        struct stat held, named;
        bool ok = fstat(fd, &held) == 0;
        if (ok && stat(path, &named) == 0) {
            if (held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
                if (ftruncate(fd, 0) == 0)
                    return fd;
                ok = false;
            }
        } else if (ok && errno != ENOENT) {
            ok = false;
        }
        if (!ok) {
            int e = errno;
            close(fd);
            errno = e;
            return -1;
        }
        // The holder renamed or removed this file while we waited: ours is the next.
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
