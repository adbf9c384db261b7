// Checksums files with the agent's checksum unit, reading in large chunks, and prints
// "checksum length name" as the cksum utility does: the benchmark compares the two.
#include "cksum.h"

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Large enough to keep the system calls few, small enough to stay in the cache
// between the read and the checksum.
alignas(64) std::array<unsigned char, 256 * 1024> buf;

int sum_file(const char *path) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        std::fprintf(stderr, "%s: %s\n", path, std::strerror(errno));
        return 1;
    }
    std::uint32_t s;
    cksum_init(&s);
    std::int64_t total = 0;
    for (;;) {
        ssize_t n = read(fd, buf.data(), buf.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            std::fprintf(stderr, "%s: %s\n", path, std::strerror(errno));
            close(fd);
            return 1;
        }
        if (n == 0)
            break;
        cksum_calc(buf.data(), static_cast<std::size_t>(n), &s);
        total += n;
    }
    close(fd);
    cksum_final(total, &s);
    std::printf("%u %lld %s\n", s, static_cast<long long>(total), path);
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE...\n", argv[0]);
        return 2;
    }
    int rc = 0;
    for (int i = 1; i < argc; i++)
        rc |= sum_file(argv[i]);
    return rc;
}
