#include "upload.h"

#include "cksum.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::size_t kBatch = 64 * 1024;

// Closes the descriptor when the scope ends.
struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0)
            close(fd);
    }
};

// Reads up to n bytes, fewer only at end of file or on an error.
std::size_t read_full(int fd, unsigned char *p, std::size_t n, bool *failed) {
    std::size_t got = 0;
    while (got < n) {
        ssize_t k = read(fd, p + got, n - got);
        if (k < 0 && errno == EINTR)
            continue;
        if (k < 0)
            *failed = true;
        if (k <= 0)
            break;
        got += static_cast<std::size_t>(k);
    }
    return got;
}

bool same_file_state(const struct stat &a, const struct stat &b) {
    return a.st_size == b.st_size && a.st_ino == b.st_ino && a.st_dev == b.st_dev &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// Opens a local file for sending; 0 or an errno value.
int open_source(const char *path, Fd &f, struct stat *st) {
    f.fd = open(path, O_RDONLY | O_CLOEXEC);
    if (f.fd < 0)
        return errno;
    if (fstat(f.fd, st) < 0)
        return errno;
    if (!S_ISREG(st->st_mode))
        return S_ISDIR(st->st_mode) ? EISDIR : EINVAL;
    if (st->st_size > INT32_MAX)
        return EFBIG;
    return 0;
}

} // namespace

int local_sum(const char *path, std::int64_t *length, std::uint32_t *crc) {
    Fd f;
    struct stat st;
    if (int e = open_source(path, f, &st); e != 0)
        return e;
    std::uint32_t state;
    cksum_init(&state);
    std::array<unsigned char, kBatch> buf;
    std::int64_t total = 0;
    bool failed = false;
    for (;;) {
        std::size_t k = read_full(f.fd, buf.data(), buf.size(), &failed);
        if (failed)
            return errno ? errno : EIO;
        if (k == 0)
            break;
        cksum_calc(buf.data(), k, &state);
        total += static_cast<std::int64_t>(k);
    }
    if (total > INT32_MAX)
        return EFBIG;
    cksum_final(total, &state);
    *length = total;
    *crc = state;
    return 0;
}

int upload_file(station::Agent &a, std::int16_t op, std::initializer_list<std::string_view> strings,
                const char *path, ProgressBar &bar, UploadResult *r) {
    *r = UploadResult{};
    Fd f;
    struct stat before;
    if (int e = open_source(path, f, &before); e != 0) {
        r->local_errno = e;
        return kUploadLocal;
    }
    const auto length = static_cast<std::int32_t>(before.st_size);
    r->length = length;

    std::string frame = station::request_header(++a.seq, op);
    for (auto s : strings)
        station::put_string(frame, s);
    if (station::send_raw(a, frame) != 0)
        return station::ErrWrite;
    int st = station::read_reply(a, a.seq, a.timeout_ms);
    if (st != 1)
        return st;

    std::string head;
    station::put_long(head, length);
    if (station::send_raw(a, head) != 0)
        return station::ErrWrite;
    std::uint32_t crc;
    cksum_init(&crc);
    std::array<unsigned char, kBatch> buf;
    std::int64_t done = 0;
    bool ended = false, failed = false;
    progress_update(bar, 0);
    while (done < length) {
        std::size_t want = static_cast<std::size_t>(
            std::min<std::int64_t>(length - done, static_cast<std::int64_t>(kBatch)));
        std::size_t got = ended ? 0 : read_full(f.fd, buf.data(), want, &failed);
        if (got < want) {
            // Shrunk (or unreadable) under our feet: the agent still needs length
            // bytes to stay in step; they are filler, and the checksum will refuse them.
            ended = true;
            r->changed = true;
            std::fill(buf.begin() + static_cast<std::ptrdiff_t>(got),
                      buf.begin() + static_cast<std::ptrdiff_t>(want), 0);
        }
        cksum_calc(buf.data(), want, &crc);
        if (station::send_raw(a, std::string_view(reinterpret_cast<char *>(buf.data()), want)) !=
            0) {
            progress_end(bar, done);
            return station::ErrWrite;
        }
        done += static_cast<std::int64_t>(want);
        progress_update(bar, done);
    }
    progress_end(bar, done);
    // Grown, rewritten or replaced meanwhile: what went out is not the file as it is.
    struct stat after, named;
    unsigned char extra;
    if (!ended && (fstat(f.fd, &after) < 0 || !same_file_state(before, after) ||
                   read_full(f.fd, &extra, 1, &failed) != 0 || failed || stat(path, &named) < 0 ||
                   !same_file_state(before, named)))
        r->changed = true;
    cksum_final(length, &crc);
    if (r->changed)
        crc = ~crc;
    std::string tail;
    station::put_long(tail, static_cast<std::int32_t>(crc));
    if (station::send_raw(a, tail) != 0)
        return station::ErrWrite;
    return station::read_reply(a, a.seq, a.timeout_ms);
}
