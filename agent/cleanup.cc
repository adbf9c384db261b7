// The unfinished files of the current request, kept where a signal handler can reach
// them: fixed buffers, each published by a flag only once it is complete.
#include "cleanup.h"

#include "log.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr std::size_t PATH_CAP = 256;
// Deeper trees than an application's copy ever has are left to the next deployment.
constexpr int TREE_DEPTH = 32;

struct Armed {
    volatile sig_atomic_t set = 0;
    std::array<char, PATH_CAP> path{};
    dev_t dev = 0;
    ino_t ino = 0;
};

Armed file, tree;
volatile pid_t child = 0;

void arm(Armed &a, const char *path) {
    a.set = 0;
    if (path == nullptr || std::strlen(path) >= PATH_CAP)
        return;
    std::memcpy(a.path.data(), path, std::strlen(path) + 1);
    struct stat st;
    if (lstat(path, &st) == 0) {
        a.dev = st.st_dev;
        a.ino = st.st_ino;
    }
    a.set = 1;
}

// The record getdents64 fills in.
struct Dirent64 {
    ino64_t ino;
    off64_t off;
    unsigned short reclen;
    unsigned char type;
    char name[1];
};

// Removes name below the directory dirfd, recursively, with system calls only.
void remove_tree_at(int dirfd, const char *name, int depth) {
    if (unlinkat(dirfd, name, 0) == 0 || errno == ENOENT || depth > TREE_DEPTH)
        return;
    int fd = openat(dirfd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return;
    alignas(8) char buf[2048];
    for (;;) {
        long n = syscall(SYS_getdents64, fd, buf, sizeof buf);
        if (n <= 0)
            break;
        for (long off = 0; off < n;) {
            auto *d = reinterpret_cast<Dirent64 *>(buf + off);
            off += d->reclen;
            if (std::strcmp(d->name, ".") != 0 && std::strcmp(d->name, "..") != 0)
                remove_tree_at(fd, d->name, depth + 1);
        }
    }
    close(fd);
    unlinkat(dirfd, name, AT_REMOVEDIR);
}

void append(char *line, std::size_t cap, std::size_t &n, const char *s) {
    for (; *s && n + 1 < cap; s++)
        line[n++] = *s;
    line[n] = '\0';
}

} // namespace

void cleanup_file(const char *path) {
    arm(file, path);
}

void cleanup_tree(const char *path) {
    arm(tree, path);
}

void cleanup_child(pid_t pid) {
    child = pid;
}

bool cleanup_now(const char *prefix) {
    if (!file.set && !tree.set)
        return false;
    if (pid_t pid = child; pid > 0) {
        kill(pid, SIGKILL);
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        child = 0;
    }
    char line[2 * PATH_CAP + 128];
    std::size_t n = 0;
    line[0] = '\0';
    append(line, sizeof line, n, prefix);
    append(line, sizeof line, n, *prefix ? "removed unfinished " : "Removed unfinished ");
    bool removed = false;
    if (file.set) {
        // Gone or replaced since it was armed: it was put in place, and is not ours.
        struct stat st;
        if (lstat(file.path.data(), &st) == 0 && st.st_dev == file.dev && st.st_ino == file.ino &&
            unlink(file.path.data()) == 0) {
            append(line, sizeof line, n, file.path.data());
            removed = true;
        }
        file.set = 0;
    }
    struct stat st;
    if (tree.set && lstat(tree.path.data(), &st) == 0) {
        remove_tree_at(AT_FDCWD, tree.path.data(), 0);
        if (removed)
            append(line, sizeof line, n, " and ");
        append(line, sizeof line, n, tree.path.data());
        removed = true;
    }
    tree.set = 0;
    if (removed)
        log_entry_from_signal(line);
    return true;
}
