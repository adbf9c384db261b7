// The station's protocol client. Replies are read with poll() under a deadline, so a
// silent or vanished agent yields an error instead of a hang; writes are made with
// SIGPIPE held back, so a vanished agent is an ordinary failed write.
#include "client.h"

#include "cksum.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace station {

volatile sig_atomic_t interrupted = 0;

namespace {

constexpr std::size_t PIECE = 1024;
constexpr std::size_t BATCH = 64 * PIECE;

long long now_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

// Writes all of p, with SIGPIPE blocked so that a closed pipe gives EPIPE; a SIGPIPE
// raised meanwhile is taken back before the mask is restored.
bool write_all(int fd, const void *p, std::size_t n) {
    sigset_t pipe_set, old;
    sigemptyset(&pipe_set);
    sigaddset(&pipe_set, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_set, &old);
    auto *b = static_cast<const unsigned char *>(p);
    bool ok = true, broke = false;
    while (n > 0) {
        if (interrupted) {
            ok = false;
            break;
        }
        ssize_t k = write(fd, b, n);
        if (k < 0 && errno == EINTR)
            continue;
        if (k <= 0) {
            broke = errno == EPIPE;
            ok = false;
            break;
        }
        b += k;
        n -= static_cast<std::size_t>(k);
    }
    if (broke && !sigismember(&old, SIGPIPE)) {
        timespec zero{0, 0};
        sigtimedwait(&pipe_set, nullptr, &zero);
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return ok;
}

// Waits up to ms for fd to become readable. The signals that end the station are held
// back except inside the wait, so that one coming just before it still cuts it short.
// Returns poll's result; -1 with EINTR when the station is to end.
int wait_input(int fd, long long ms) {
    sigset_t ending, old;
    sigemptyset(&ending);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&ending, sig);
    pthread_sigmask(SIG_BLOCK, &ending, &old);
    int r = -1;
    errno = EINTR;
    if (!interrupted) {
        pollfd p{fd, POLLIN, 0};
        timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000};
        r = ppoll(&p, 1, &ts, &old);
    }
    int e = errno;
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    errno = e;
    return r;
}

// The failure of a write to the agent.
int write_error() {
    return interrupted ? ErrInterrupted : ErrWrite;
}

// Fills the read-ahead buffer; 0, ErrTimeout, ErrClosed or ErrInterrupted.
int fill(Agent &a, long long deadline) {
    for (;;) {
        long long left = deadline - now_ms();
        if (left <= 0)
            return ErrTimeout;
        int r = wait_input(a.from, left);
        if (r < 0 && errno == EINTR && interrupted)
            return ErrInterrupted;
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return ErrClosed;
        if (r == 0)
            return ErrTimeout;
        ssize_t k = read(a.from, a.rbuf.data(), a.rbuf.size());
        if (k < 0 && errno == EINTR)
            continue;
        if (k <= 0)
            return ErrClosed;
        a.rpos = 0;
        a.rlen = static_cast<std::size_t>(k);
        return 0;
    }
}

int read_until(Agent &a, void *p, std::size_t n, long long deadline) {
    auto *out = static_cast<unsigned char *>(p);
    while (n > 0) {
        if (a.rpos == a.rlen)
            if (int e = fill(a, deadline); e != 0)
                return e;
        std::size_t k = std::min(n, a.rlen - a.rpos);
        std::memcpy(out, a.rbuf.data() + a.rpos, k);
        a.rpos += k;
        out += k;
        n -= k;
    }
    return 0;
}

std::int32_t get_be32(const unsigned char *b) {
    return static_cast<std::int32_t>((std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) |
                                     (std::uint32_t{b[2]} << 8) | std::uint32_t{b[3]});
}

bool fits(std::string_view s, std::size_t max) {
    return s.size() <= max;
}

// Sends a request: header and counted strings, in one write.
int send_request(Agent &a, std::int16_t op, std::initializer_list<std::string_view> strings,
                 std::string_view tail = {}) {
    std::string f = request_header(++a.seq, op);
    for (auto s : strings)
        put_string(f, s);
    f.append(tail);
    return send_raw(a, f);
}

void report(Agent &a, std::int64_t done, std::int64_t total) {
    if (a.progress)
        a.progress(a.progress_ctx, done, total);
}

// Source of upload data: a buffer, or a local file that is checked again after sending.
struct Source {
    std::string_view mem; // the data, when fd < 0
    int fd = -1;
    const char *path = nullptr; // the file behind fd
    struct stat before {};      // its state when it was opened
    bool changed = false;       // it changed while it was sent
};

bool same_file_state(const struct stat &a, const struct stat &b) {
    return a.st_size == b.st_size && a.st_ino == b.st_ino && a.st_dev == b.st_dev &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// Reads up to n bytes, fewer only at end of file or on an error.
std::size_t read_full(int fd, unsigned char *p, std::size_t n) {
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

// True when the file grew, was rewritten or was replaced while it was sent.
bool changed_since_open(const Source &src) {
    struct stat now, named;
    unsigned char extra;
    return fstat(src.fd, &now) < 0 || !same_file_state(src.before, now) ||
           read_full(src.fd, &extra, 1) != 0 || stat(src.path, &named) < 0 ||
           !same_file_state(src.before, named);
}

// The data phase of an upload (operations 1 and 7) after the interim reply: length,
// data in batches, checksum; then the final reply. A file that changes while it is sent
// must never be stored: its data would be a mix of old and new bytes, or zero filler
// where it shrank, with a checksum that matches them. The agent still gets length bytes,
// to stay in step, and then a checksum that cannot match, so it discards the upload.
int upload(Agent &a, std::int32_t length, Source &src) {
    std::string head;
    put_long(head, length);
    if (int e = send_raw(a, head); e != 0)
        return e;
    std::uint32_t crc;
    cksum_init(&crc);
    std::array<unsigned char, BATCH> buf;
    std::int64_t done = 0;
    report(a, 0, length);
    while (done < length) {
        std::size_t want = static_cast<std::size_t>(
            std::min<std::int64_t>(length - done, static_cast<std::int64_t>(BATCH)));
        const unsigned char *p = buf.data();
        if (src.fd < 0)
            p = reinterpret_cast<const unsigned char *>(src.mem.data()) + done;
        else {
            std::size_t got = src.changed ? 0 : read_full(src.fd, buf.data(), want);
            if (got < want) {
                src.changed = true;
                std::memset(buf.data() + got, 0, want - got);
            }
        }
        cksum_calc(p, want, &crc);
        if (!write_all(a.to, p, want))
            return write_error();
        done += static_cast<std::int64_t>(want);
        report(a, done, length);
    }
    if (src.fd >= 0 && !src.changed)
        src.changed = changed_since_open(src);
    cksum_final(length, &crc);
    if (src.changed)
        crc = ~crc;
    std::string tail;
    put_long(tail, static_cast<std::int32_t>(crc));
    if (int e = send_raw(a, tail); e != 0)
        return e;
    return read_reply(a, a.seq, a.timeout_ms);
}

int put_source(Agent &a, std::int16_t op, std::initializer_list<std::string_view> strings,
               std::int32_t length, Source &src, UploadInfo *info) {
    if (info)
        info->length = length;
    if (int e = send_request(a, op, strings); e != 0)
        return e;
    int st = read_reply(a, a.seq, a.timeout_ms);
    if (st != code(Status::Ready))
        return st;
    st = upload(a, length, src);
    if (info)
        info->agent_status = st;
    return st >= 0 && src.changed ? ErrChanged : st;
}

// Opens a local file for sending. Returns 0, or ErrLocal with the reason in
// info->local_errno (EISDIR or EINVAL when not a regular file, EFBIG when longer than
// the wire's 32-bit length).
int open_source(const char *path, Source &src, UploadInfo *info) {
    int e = 0;
    src.path = path;
    src.fd = open(path, O_RDONLY | O_CLOEXEC);
    if (src.fd < 0 || fstat(src.fd, &src.before) < 0)
        e = errno;
    else if (!S_ISREG(src.before.st_mode))
        e = S_ISDIR(src.before.st_mode) ? EISDIR : EINVAL;
    else if (src.before.st_size > INT32_MAX)
        e = EFBIG;
    if (e == 0)
        return 0;
    if (src.fd >= 0)
        close(src.fd);
    src.fd = -1;
    if (info)
        info->local_errno = e;
    return ErrLocal;
}

// Operation op with the local file path as its data.
int put_file(Agent &a, std::int16_t op, std::initializer_list<std::string_view> strings,
             const char *path, UploadInfo *info) {
    if (info)
        *info = UploadInfo{};
    Source src;
    if (int e = open_source(path, src, info); e != 0)
        return e;
    int r = put_source(a, op, strings, static_cast<std::int32_t>(src.before.st_size), src, info);
    close(src.fd);
    return r;
}

// The data phase of a download (operations 5 and 6) after the interim reply. Data go
// to fd when with_data is set; the final reply follows.
int download(Agent &a, bool with_data, int fd, FileInfo *info) {
    std::int32_t length;
    if (int e = read_long_value(a, &length, a.timeout_ms); e != 0)
        return e;
    std::uint32_t crc;
    cksum_init(&crc);
    bool local_failed = false;
    std::int64_t done = 0;
    report(a, 0, length);
    if (with_data) {
        while (done < length) {
            long long deadline = now_ms() + a.timeout_ms;
            if (a.rpos == a.rlen)
                if (int e = fill(a, deadline); e != 0)
                    return e;
            std::size_t k = static_cast<std::size_t>(
                std::min<std::int64_t>(length - done, static_cast<std::int64_t>(a.rlen - a.rpos)));
            const unsigned char *p = a.rbuf.data() + a.rpos;
            cksum_calc(p, k, &crc);
            if (fd >= 0 && !local_failed)
                local_failed = !write_all(fd, p, k);
            a.rpos += k;
            done += static_cast<std::int64_t>(k);
            report(a, done, length);
        }
    }
    std::int32_t theirs;
    if (int e = read_long_value(a, &theirs, a.timeout_ms); e != 0)
        return e;
    if (info) {
        info->length = length;
        info->checksum = static_cast<std::uint32_t>(theirs);
    }
    int st = read_reply(a, a.seq, a.timeout_ms);
    if (st != code(Status::Ok))
        return st;
    if (local_failed)
        return ErrLocal;
    cksum_final(length, &crc);
    if (with_data && crc != static_cast<std::uint32_t>(theirs))
        return ErrChecksum;
    return st;
}

int get_common(Agent &a, std::int16_t op, std::string_view dir, std::string_view name, int fd,
               FileInfo *info) {
    if (!fits(dir, DIR_MAX) || !fits(name, NAME_MAX_))
        return ErrArgument;
    if (int e = send_request(a, op, {dir, name}); e != 0)
        return e;
    int st = read_reply(a, a.seq, a.timeout_ms);
    if (st != code(Status::Ready))
        return st;
    return download(a, op == 5, fd, info);
}

} // namespace

int agent_start(Agent &a, const std::vector<std::string> &argv) {
    if (argv.empty())
        return ErrStart;
    int to[2], from[2], check[2];
    if (pipe2(to, O_CLOEXEC) < 0)
        return ErrStart;
    if (pipe2(from, O_CLOEXEC) < 0) {
        close(to[0]);
        close(to[1]);
        return ErrStart;
    }
    // Tells the parent whether exec worked: the write end closes on a successful exec.
    if (pipe2(check, O_CLOEXEC) < 0) {
        for (int fd : {to[0], to[1], from[0], from[1]})
            close(fd);
        return ErrStart;
    }
    std::vector<char *> av;
    for (auto &s : argv)
        av.push_back(const_cast<char *>(s.c_str()));
    av.push_back(nullptr);
    pid_t pid = fork();
    if (pid < 0) {
        for (int fd : {to[0], to[1], from[0], from[1], check[0], check[1]})
            close(fd);
        return ErrStart;
    }
    if (pid == 0) {
        if (dup2(to[0], 0) < 0 || dup2(from[1], 1) < 0)
            _exit(127);
        setpgid(0, 0);
        sigset_t none;
        sigemptyset(&none);
        pthread_sigmask(SIG_SETMASK, &none, nullptr);
        signal(SIGPIPE, SIG_DFL);
        execv(av[0], av.data());
        int e = errno;
        ssize_t ignored = write(check[1], &e, sizeof e);
        (void)ignored;
        _exit(127);
    }
    setpgid(pid, pid); // also here, so that it holds before the first signal can come
    close(to[0]);
    close(from[1]);
    close(check[1]);
    int e = 0;
    ssize_t k;
    while ((k = read(check[0], &e, sizeof e)) < 0 && errno == EINTR) {
    }
    close(check[0]);
    if (k > 0) {
        close(to[1]);
        close(from[0]);
        waitpid(pid, nullptr, 0);
        errno = e;
        return ErrStart;
    }
    a.pid = pid;
    agent_attach(a, to[1], from[0]);
    return 0;
}

void agent_attach(Agent &a, int to, int from) {
    a.to = to;
    a.from = from;
    a.seq = 0;
    a.rpos = a.rlen = 0;
}

void agent_end_input(Agent &a) {
    if (a.to >= 0)
        close(a.to);
    a.to = -1;
}

int agent_close(Agent &a, int timeout_ms) {
    if (a.to >= 0)
        close(a.to);
    a.to = -1;
    int result = 0;
    if (a.pid > 0) {
        long long end = now_ms() + timeout_ms;
        result = ErrTimeout;
        for (;;) {
            int st;
            pid_t r = waitpid(a.pid, &st, WNOHANG);
            if (r == a.pid) {
                result = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
                break;
            }
            if (r < 0)
                break;
            if (now_ms() >= end) {
                // Asked to end first, the agent command passes it on and the agent
                // removes what it left unfinished; only then is it killed.
                kill(-a.pid, SIGTERM);
                kill(a.pid, SIGTERM);
                bool gone = false;
                for (int i = 0; i < 250 && !gone; i++) {
                    gone = waitpid(a.pid, &st, WNOHANG) == a.pid;
                    if (!gone)
                        usleep(2000);
                }
                kill(-a.pid, SIGKILL); // whatever of its group is left
                if (!gone) {
                    kill(a.pid, SIGKILL);
                    waitpid(a.pid, &st, 0);
                }
                break;
            }
            usleep(2000);
        }
        a.pid = -1;
    }
    if (a.from >= 0)
        close(a.from);
    a.from = -1;
    return result;
}

int hello(Agent &a) {
    if (int e = send_raw(a, "H"); e != 0)
        return e;
    char reply[10];
    if (int e = read_exact(a, reply, sizeof reply, a.timeout_ms); e != 0)
        return e;
    std::string_view r(reply, sizeof reply);
    return r == "HELLO_v22\n" || r == "HELLO_v20\n" ? 0 : ErrHello;
}

void put_byte(std::string &f, unsigned char b) {
    f.push_back(static_cast<char>(b));
}

void put_short(std::string &f, std::int16_t v) {
    auto u = static_cast<std::uint16_t>(v);
    put_byte(f, static_cast<unsigned char>(u >> 8));
    put_byte(f, static_cast<unsigned char>(u));
}

void put_long(std::string &f, std::int32_t v) {
    auto u = static_cast<std::uint32_t>(v);
    for (int shift = 24; shift >= 0; shift -= 8)
        put_byte(f, static_cast<unsigned char>(u >> shift));
}

void put_string(std::string &f, std::string_view s) {
    put_long(f, static_cast<std::int32_t>(s.size()));
    f.append(s);
}

std::string request_header(std::int32_t seq, std::int16_t op) {
    std::string f;
    put_byte(f, 'A');
    put_long(f, seq);
    put_short(f, op);
    return f;
}

int send_raw(Agent &a, std::string_view bytes) {
    return write_all(a.to, bytes.data(), bytes.size()) ? 0 : write_error();
}

int read_exact(Agent &a, void *p, std::size_t n, int timeout_ms) {
    return read_until(a, p, n, now_ms() + timeout_ms);
}

int read_long_value(Agent &a, std::int32_t *v, int timeout_ms) {
    unsigned char b[4];
    if (int e = read_exact(a, b, 4, timeout_ms); e != 0)
        return e;
    *v = get_be32(b);
    return 0;
}

int read_reply(Agent &a, std::int32_t expected, int timeout_ms, std::int32_t *got_seq) {
    long long deadline = now_ms() + timeout_ms;
    unsigned char c = 0;
    do {
        if (int e = read_until(a, &c, 1, deadline); e != 0)
            return e;
    } while (c != 'R');
    unsigned char b[4];
    if (int e = read_until(a, b, 4, deadline); e != 0)
        return e;
    std::int32_t seq = get_be32(b);
    if (got_seq)
        *got_seq = seq;
    if (seq != expected)
        return code(Status::SeqMismatch);
    unsigned char s[2];
    if (int e = read_until(a, s, 2, deadline); e != 0)
        return e;
    return static_cast<std::int16_t>((s[0] << 8) | s[1]);
}

int put(Agent &a, std::string_view dir, std::string_view name, std::string_view data) {
    if (!fits(dir, DIR_MAX) || !fits(name, NAME_MAX_) || data.size() > INT32_MAX)
        return ErrArgument;
    Source src{data};
    return put_source(a, 1, {dir, name}, static_cast<std::int32_t>(data.size()), src, nullptr);
}

int put_path(Agent &a, std::string_view dir, std::string_view name, const char *path,
             UploadInfo *info) {
    if (!fits(dir, DIR_MAX) || !fits(name, NAME_MAX_))
        return ErrArgument;
    return put_file(a, 1, {dir, name}, path, info);
}

int rm(Agent &a, std::string_view dir, std::string_view name) {
    if (!fits(dir, DIR_MAX) || !fits(name, NAME_MAX_))
        return ErrArgument;
    if (int e = send_request(a, 2, {dir, name}); e != 0)
        return e;
    return read_reply(a, a.seq, a.timeout_ms);
}

int get_fd(Agent &a, std::string_view dir, std::string_view name, int fd, FileInfo *info) {
    return get_common(a, 5, dir, name, fd, info);
}

int get_path(Agent &a, std::string_view dir, std::string_view name, const char *path,
             FileInfo *info) {
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
        return ErrLocal;
    int r = get_fd(a, dir, name, fd, info);
    if (close(fd) < 0 && r == 0)
        r = ErrLocal;
    return r;
}

int sum(Agent &a, std::string_view dir, std::string_view name, FileInfo *info) {
    return get_common(a, 6, dir, name, -1, info);
}

int push(Agent &a, std::string_view host, std::string_view dir, std::string_view name,
         std::int32_t length, std::uint32_t checksum) {
    if (!fits(host, HOST_MAX) || !fits(dir, DIR_MAX) || !fits(name, NAME_MAX_))
        return ErrArgument;
    std::string tail;
    put_long(tail, length);
    put_long(tail, static_cast<std::int32_t>(checksum));
    if (int e = send_request(a, 3, {host, dir, name}, tail); e != 0)
        return e;
    return read_reply(a, a.seq, a.timeout_ms);
}

int rmremote(Agent &a, std::string_view host, std::string_view dir, std::string_view name) {
    if (!fits(host, HOST_MAX) || !fits(dir, DIR_MAX) || !fits(name, NAME_MAX_))
        return ErrArgument;
    if (int e = send_request(a, 4, {host, dir, name}); e != 0)
        return e;
    return read_reply(a, a.seq, a.timeout_ms);
}

int deploy(Agent &a, std::string_view appl, const char *archive, UploadInfo *info) {
    if (!fits(appl, APPL_MAX))
        return ErrArgument;
    return put_file(a, 7, {appl}, archive, info);
}

int undeploy(Agent &a, std::string_view appl) {
    if (!fits(appl, APPL_MAX))
        return ErrArgument;
    if (int e = send_request(a, 8, {appl}); e != 0)
        return e;
    return read_reply(a, a.seq, a.timeout_ms);
}

int file_sum(const char *path, FileInfo *sum, UploadInfo *info) {
    Source src;
    if (int e = open_source(path, src, info); e != 0)
        return e;
    std::uint32_t crc;
    cksum_init(&crc);
    std::array<unsigned char, BATCH> buf;
    std::int64_t total = 0;
    while (std::size_t k = read_full(src.fd, buf.data(), buf.size())) {
        cksum_calc(buf.data(), k, &crc);
        total += static_cast<std::int64_t>(k);
    }
    close(src.fd);
    if (total > INT32_MAX) {
        if (info)
            info->local_errno = EFBIG;
        return ErrLocal;
    }
    cksum_final(total, &crc);
    sum->length = static_cast<std::int32_t>(total);
    sum->checksum = crc;
    return 0;
}

std::uint32_t checksum_of(std::string_view data) {
    std::uint32_t crc;
    cksum_init(&crc);
    cksum_calc(data.data(), data.size(), &crc);
    cksum_final(static_cast<std::int64_t>(data.size()), &crc);
    return crc;
}

} // namespace station
