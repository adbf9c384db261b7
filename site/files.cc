#include "files.h"

#include "fdio.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

int make_dirs(const std::string &dir, mode_t mode) {
    // "/." stands for a file inside dir, so that dir itself is among the parents made.
    if (int e = make_parent_dirs((dir + "/.").c_str(), mode); e != 0)
        return e;
    struct stat st;
    if (stat(dir.c_str(), &st) < 0)
        return errno;
    return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
}

int copy_file(const char *src, const char *dst, mode_t mode) {
    int in = open(src, O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return errno;
    // A running program cannot be truncated in place (ETXTBSY): replace the name instead.
    unlink(dst);
    int out = open(dst, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (out < 0) {
        int e = errno;
        close(in);
        return e;
    }
    int err = 0;
    for (;;) {
        ssize_t k = sendfile(out, in, nullptr, 1 << 20);
        if (k < 0 && errno == EINTR)
            continue;
        if (k < 0) {
            err = errno;
            break;
        }
        if (k == 0)
            break;
    }
    if (fchmod(out, mode) < 0 && err == 0)
        err = errno;
    if (close(out) < 0 && err == 0)
        err = errno;
    close(in);
    return err;
}
