#include "fdio.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <sys/stat.h>
#include <unistd.h>

bool write_all(int fd, const void *data, std::size_t n) {
    auto p = static_cast<const unsigned char *>(data);
    while (n > 0) {
        ssize_t k = write(fd, p, n);
        if (k < 0 && errno == EINTR)
            continue;
        if (k <= 0)
            return false;
        p += k;
        n -= static_cast<std::size_t>(k);
    }
    return true;
}

std::size_t read_full(int fd, void *data, std::size_t n) {
    auto p = static_cast<unsigned char *>(data);
    std::size_t got = 0;
    while (got < n) {
        ssize_t k = read(fd, p + got, n - got);
        if (k < 0 && errno == EINTR)
            continue;
        if (k <= 0)
            break;
        got += static_cast<std::size_t>(k);
    }
    return got;
}

int make_parent_dirs(const char *path, mode_t mode) {
    std::array<char, 256> prefix{};
    std::size_t n = std::strlen(path);
    if (n >= prefix.size())
        return ENAMETOOLONG;
    std::size_t plen = 0;
    std::size_t i = 0;
    for (;;) {
        while (i < n && path[i] == '/')
            i++;
        if (i >= n)
            return 0;
        std::size_t start = i;
        while (i < n && path[i] != '/')
            i++;
        std::size_t end = i;
        // The last component is the file itself: only the directories above it are made.
        std::size_t j = i;
        while (j < n && path[j] == '/')
            j++;
        if (j >= n)
            return 0;
        // Never longer than the path plus one leading slash.
        if (plen + 1 + (end - start) >= prefix.size())
            return ENAMETOOLONG;
        prefix[plen++] = '/';
        std::memcpy(prefix.data() + plen, path + start, end - start);
        plen += end - start;
        prefix[plen] = '\0';
        while (mkdir(prefix.data(), mode) < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EEXIST || errno == ENOENT)
                break;
            return errno;
        }
    }
}

long long monotonic_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}
