// Directory utilities: creating the directories above a path and removing a tree.
#include "dirs.h"

#include "log.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

int makedir(const char *path) {
    // Paths beyond the work buffer are refused rather than cut: a cut path would
    // create directories nobody asked for.
    std::array<char, 256> work{};
    std::size_t n = std::strlen(path);
    if (n >= work.size())
        return ENAMETOOLONG;
    std::memcpy(work.data(), path, n);

    std::array<char, 256> prefix{};
    std::size_t plen = 0;
    std::size_t i = 0;
    for (;;) {
        while (i < n && work[i] == '/')
            i++;
        if (i >= n)
            return 0;
        std::size_t start = i;
        while (i < n && work[i] != '/')
            i++;
        std::size_t end = i;
        // The last component is the file itself: only the directories above it are made.
        std::size_t j = i;
        while (j < n && work[j] == '/')
            j++;
        if (j >= n)
            return 0;
        // The prefix always starts from the root, whether or not the path does; it is
        // never longer than the path plus one leading slash.
        if (plen + 1 + (end - start) >= prefix.size())
            return ENAMETOOLONG;
        prefix[plen++] = '/';
        std::memcpy(prefix.data() + plen, work.data() + start, end - start);
        plen += end - start;
        prefix[plen] = '\0';
        while (mkdir(prefix.data(), 0777) < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EEXIST || errno == ENOENT)
                break;
            return errno;
        }
    }
}

int rmdir_recursive(const char *path) {
    struct stat st;
    if (lstat(path, &st) < 0) {
        errno = ENOENT;
        return 0;
    }
    if (!S_ISDIR(st.st_mode)) {
        if (unlink(path) == 0)
            return 0;
        log_entry("Could not unlink %s (%s)", path, std::strerror(errno));
        return 2;
    }
    if (chdir(path) < 0) {
        log_entry("Can't change to path %s (%s)", path, std::strerror(errno));
        return 2;
    }
    DIR *d = opendir(".");
    if (!d) {
        log_entry("Can't open directory %s (%s)", path, std::strerror(errno));
        return 2;
    }
    while (dirent *e = readdir(d)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0)
            continue;
        if (rmdir_recursive(e->d_name) != 0) {
            closedir(d);
            return 2;
        }
    }
    closedir(d);
    if (chdir("..") < 0) {
        log_entry("Can't go back from directory %s (%s)", path, std::strerror(errno));
        return 2;
    }
    if (rmdir(path) < 0) {
        log_entry("Can't remove directory %s (%s)", path, std::strerror(errno));
        return 2;
    }
    return 0;
}

bool is_directory(const char *path) {
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

bool target_is_directory(const char *path) {
    if (!is_directory(path))
        return false;
    log_entry("The file %s is a directory", path);
    return true;
}
