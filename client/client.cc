// The station's protocol client. Replies are read with poll() under a deadline, so a
// silent or vanished agent yields an error instead of a hang; writes are made with
// SIGPIPE held back, so a vanished agent is an ordinary failed write.
#include "client.h"

#include "pipeline.h"
#include "sshmux.h"

#include "cksum.h"
#include "fdio.h"

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

// Writes all of p, with SIGPIPE blocked so that a closed pipe gives EPIPE; a SIGPIPE
// raised meanwhile is taken back before the mask is restored. Unlike write_all, it
// gives up once the station is told to end, also inside a write that blocks.
bool write_holding_sigpipe(int fd, const void *p, std::size_t n) {
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
ClientError write_error() {
    return interrupted ? ClientError::Interrupted : ClientError::Write;
}

// Fills the read-ahead buffer; None, Timeout, Closed or Interrupted.
ClientError fill(Agent &a, long long deadline) {
    for (;;) {
        long long left = deadline - monotonic_ms();
        if (left <= 0)
            return ClientError::Timeout;
        int r = wait_input(a.from, left);
        if (r < 0 && errno == EINTR && interrupted)
            return ClientError::Interrupted;
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return ClientError::Closed;
        if (r == 0)
            return ClientError::Timeout;
        ssize_t k = read(a.from, a.rbuf.data(), a.rbuf.size());
        if (k < 0 && errno == EINTR)
            continue;
        if (k <= 0)
            return ClientError::Closed;
        a.rpos = 0;
        a.rlen = static_cast<std::size_t>(k);
        return ClientError::None;
    }
}

ClientError read_until(Agent &a, void *p, std::size_t n, long long deadline) {
    auto *out = static_cast<unsigned char *>(p);
    while (n > 0) {
        if (a.rpos == a.rlen)
            if (ClientError e = fill(a, deadline); e != ClientError::None)
                return e;
        std::size_t k = std::min(n, a.rlen - a.rpos);
        std::memcpy(out, a.rbuf.data() + a.rpos, k);
        a.rpos += k;
        out += k;
        n -= k;
    }
    return ClientError::None;
}

// True when s fits an agent buffer of capacity cap, terminator included.
bool fits(std::string_view s, std::size_t cap) {
    return s.size() <= cap - 1;
}

bool same_file_state(const struct stat &a, const struct stat &b) {
    return a.st_size == b.st_size && a.st_ino == b.st_ino && a.st_dev == b.st_dev &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// Runs one request through the engine and gives its result as a Reply.
Reply run_one(Agent &a, PipeRequest &r) {
    Pipeline p = pipeline_of(a, &r, 1);
    pipeline_run(&p, 1);
    return r.fail == PipeFail::None ? Reply(r.status) : Reply(client_error(r.fail));
}

PipeRequest request(PipeOp op, std::string_view dir, std::string_view name) {
    PipeRequest r;
    r.op = op;
    r.dir = dir;
    r.name = name;
    return r;
}

// An upload (operation 1 or 7) of the local file path, with what it did in info.
Reply upload_file(Agent &a, PipeRequest &r, UploadInfo *info) {
    Reply rep = run_one(a, r);
    if (info) {
        *info = UploadInfo{};
        info->length = r.length;
        info->local_errno = r.local_errno;
        info->agent_status = r.status;
        info->checksum = r.checksum;
    }
    return rep;
}

// Operations 5 and 6, which differ only in whether the data come.
Reply download(Agent &a, PipeOp op, std::string_view dir, std::string_view name, int fd,
               FileInfo *info) {
    if (!fits(dir, DIR_CAP) || !fits(name, NAME_CAP))
        return ClientError::Argument;
    PipeRequest r = request(op, dir, name);
    r.sink = fd;
    Reply rep = run_one(a, r);
    if (info)
        *info = r.info;
    return rep;
}

} // namespace

bool file_changed_since(int fd, const struct stat &before, const char *path) {
    struct stat now, named;
    unsigned char extra;
    return fstat(fd, &now) < 0 || !same_file_state(before, now) || read_full(fd, &extra, 1) != 0 ||
           stat(path, &named) < 0 || !same_file_state(before, named);
}

namespace {

// The pipes of an agent's input and output: both, or neither with errno set. The input
// pipe is widened where the system allows, so that the engine hands an upload over in
// few writes; the agent still reads it in its own batches.
bool agent_pipes(int to[2], int from[2]) {
    if (pipe2(to, O_CLOEXEC) < 0)
        return false;
    if (pipe2(from, O_CLOEXEC) < 0) {
        int e = errno;
        close(to[0]);
        close(to[1]);
        errno = e;
        return false;
    }
    fcntl(to[1], F_SETPIPE_SZ, static_cast<int>(4 * BATCH));
    return true;
}

} // namespace

bool agent_start(Agent &a, const std::vector<std::string> &argv) {
    if (argv.empty()) {
        errno = EINVAL;
        return false;
    }
    int to[2], from[2], check[2];
    if (!agent_pipes(to, from))
        return false;
    // Tells the parent whether exec worked: the write end closes on a successful exec.
    if (pipe2(check, O_CLOEXEC) < 0) {
        for (int fd : {to[0], to[1], from[0], from[1]})
            close(fd);
        return false;
    }
    std::vector<char *> av;
    for (auto &s : argv)
        av.push_back(const_cast<char *>(s.c_str()));
    av.push_back(nullptr);
    pid_t pid = fork();
    if (pid < 0) {
        for (int fd : {to[0], to[1], from[0], from[1], check[0], check[1]})
            close(fd);
        return false;
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
        return false;
    }
    a.pid = pid;
    agent_attach(a, to[1], from[0]);
    return true;
}

bool agent_start_shared(Agent &a, const char *socket, const char *command) {
    int to[2], from[2];
    if (!agent_pipes(to, from))
        return false;
    int ctl = mux_open(socket, command, to[0], from[1], 2);
    int e = errno;
    close(to[0]);
    close(from[1]); // the master holds its own copies
    if (ctl < 0) {
        close(to[1]);
        close(from[0]);
        errno = e;
        return false;
    }
    a.pid = -1;
    a.mux = ctl;
    agent_attach(a, to[1], from[0]);
    return true;
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
    a.signalled = false;
    if (a.mux >= 0) {
        result = mux_wait(a.mux, timeout_ms);
        result = result < 0 ? AGENT_KILLED : result;
        close(a.mux); // ends the session if it is still there
        a.mux = -1;
    }
    if (a.pid > 0) {
        long long end = monotonic_ms() + timeout_ms;
        result = AGENT_KILLED;
        for (;;) {
            int st;
            pid_t r = waitpid(a.pid, &st, WNOHANG);
            if (r == a.pid) {
                result = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
                a.signalled = WIFSIGNALED(st);
                break;
            }
            if (r < 0)
                break;
            if (monotonic_ms() >= end) {
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

Reply hello(Agent &a) {
    if (ClientError e = hello_send(a); e != ClientError::None)
        return e;
    return hello_receive(a);
}

ClientError hello_send(Agent &a) {
    return send_raw(a, std::string_view(&HELLO_MARK, 1));
}

Reply hello_receive(Agent &a) {
    Pipeline p = pipeline_of(a, nullptr, 0);
    p.hello = true;
    p.hello_ms = a.timeout_ms;
    pipeline_run(&p, 1);
    return hello_result(p);
}

void put_byte(std::string &f, unsigned char b) {
    f.push_back(static_cast<char>(b));
}

void put_short(std::string &f, std::int16_t v) {
    unsigned char b[2];
    put_be16(b, v);
    f.append(reinterpret_cast<const char *>(b), sizeof b);
}

void put_long(std::string &f, std::int32_t v) {
    unsigned char b[4];
    put_be32(b, v);
    f.append(reinterpret_cast<const char *>(b), sizeof b);
}

void put_string(std::string &f, std::string_view s) {
    put_long(f, static_cast<std::int32_t>(s.size()));
    f.append(s);
}

std::string request_header(std::int32_t seq, std::int16_t op) {
    std::string f;
    put_byte(f, REQUEST_MARK);
    put_long(f, seq);
    put_short(f, op);
    return f;
}

std::string request_header(std::int32_t seq, Op op) {
    return request_header(seq, op_code(op));
}

ClientError send_raw(Agent &a, std::string_view bytes) {
    return write_holding_sigpipe(a.to, bytes.data(), bytes.size()) ? ClientError::None
                                                                   : write_error();
}

ClientError read_exact(Agent &a, void *p, std::size_t n, int timeout_ms) {
    return read_until(a, p, n, monotonic_ms() + timeout_ms);
}

ClientError read_long_value(Agent &a, std::int32_t *v, int timeout_ms) {
    unsigned char b[4];
    if (ClientError e = read_exact(a, b, 4, timeout_ms); e != ClientError::None)
        return e;
    *v = get_be32(b);
    return ClientError::None;
}

Reply read_reply(Agent &a, std::int32_t expected, int timeout_ms, std::int32_t *got_seq) {
    long long deadline = monotonic_ms() + timeout_ms;
    unsigned char c = 0;
    do {
        if (ClientError e = read_until(a, &c, 1, deadline); e != ClientError::None)
            return e;
    } while (c != RESPONSE_MARK);
    unsigned char b[4];
    if (ClientError e = read_until(a, b, 4, deadline); e != ClientError::None)
        return e;
    std::int32_t seq = get_be32(b);
    if (got_seq)
        *got_seq = seq;
    if (seq != expected)
        return Status::SeqMismatch;
    unsigned char s[2];
    if (ClientError e = read_until(a, s, 2, deadline); e != ClientError::None)
        return e;
    return static_cast<Status>(get_be16(s));
}

Reply put(Agent &a, std::string_view dir, std::string_view name, std::string_view data) {
    if (!fits(dir, DIR_CAP) || !fits(name, NAME_CAP) || data.size() > INT32_MAX)
        return ClientError::Argument;
    PipeRequest r = request(PipeOp::Put, dir, name);
    r.from_memory = true;
    r.data = data;
    return run_one(a, r);
}

Reply put_path(Agent &a, std::string_view dir, std::string_view name, const char *path,
               UploadInfo *info) {
    if (!fits(dir, DIR_CAP) || !fits(name, NAME_CAP))
        return ClientError::Argument;
    PipeRequest r = request(PipeOp::Put, dir, name);
    r.local = path;
    return upload_file(a, r, info);
}

Reply rm(Agent &a, std::string_view dir, std::string_view name) {
    if (!fits(dir, DIR_CAP) || !fits(name, NAME_CAP))
        return ClientError::Argument;
    PipeRequest r = request(PipeOp::Delete, dir, name);
    return run_one(a, r);
}

Reply get_fd(Agent &a, std::string_view dir, std::string_view name, int fd, FileInfo *info) {
    return download(a, PipeOp::Get, dir, name, fd, info);
}

Reply get_path(Agent &a, std::string_view dir, std::string_view name, const char *path,
               FileInfo *info) {
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
        return ClientError::Local;
    Reply r = get_fd(a, dir, name, fd, info);
    if (close(fd) < 0 && r.ok())
        r = ClientError::Local;
    return r;
}

Reply sum(Agent &a, std::string_view dir, std::string_view name, FileInfo *info) {
    return download(a, PipeOp::Sum, dir, name, -1, info);
}

Reply push(Agent &a, std::string_view host, std::string_view dir, std::string_view name,
           std::int32_t length, std::uint32_t checksum) {
    if (!fits(host, HOST_CAP) || !fits(dir, DIR_CAP) || !fits(name, NAME_CAP))
        return ClientError::Argument;
    PipeRequest r = request(PipeOp::Push, dir, name);
    r.host = host;
    r.expect = FileInfo{length, checksum};
    return run_one(a, r);
}

Reply rmremote(Agent &a, std::string_view host, std::string_view dir, std::string_view name) {
    if (!fits(host, HOST_CAP) || !fits(dir, DIR_CAP) || !fits(name, NAME_CAP))
        return ClientError::Argument;
    PipeRequest r = request(PipeOp::DeleteRemote, dir, name);
    r.host = host;
    return run_one(a, r);
}

Reply deploy(Agent &a, std::string_view appl, const char *archive, UploadInfo *info) {
    if (!fits(appl, APPL_CAP))
        return ClientError::Argument;
    PipeRequest r = request(PipeOp::Deploy, {}, {});
    r.appl = appl;
    r.local = archive;
    return upload_file(a, r, info);
}

Reply undeploy(Agent &a, std::string_view appl) {
    if (!fits(appl, APPL_CAP))
        return ClientError::Argument;
    PipeRequest r = request(PipeOp::Undeploy, {}, {});
    r.appl = appl;
    return run_one(a, r);
}

bool file_sum(const char *path, FileInfo *sum, UploadInfo *info, std::int64_t *mtime_ns) {
    int fd;
    struct stat st;
    if (int e = open_upload_source(path, &fd, &st); e != 0) {
        if (info)
            info->local_errno = e;
        return false;
    }
    if (mtime_ns)
        *mtime_ns = st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec;
    std::uint32_t crc;
    cksum_init(&crc);
    std::array<unsigned char, BATCH> buf;
    std::int64_t total = 0;
    while (std::size_t k = read_full(fd, buf.data(), buf.size())) {
        cksum_calc(buf.data(), k, &crc);
        total += static_cast<std::int64_t>(k);
    }
    close(fd);
    if (total > INT32_MAX) {
        if (info)
            info->local_errno = EFBIG;
        return false;
    }
    cksum_final(total, &crc);
    sum->length = static_cast<std::int32_t>(total);
    sum->checksum = crc;
    return true;
}

std::uint32_t checksum_of(std::string_view data) {
    std::uint32_t crc;
    cksum_init(&crc);
    cksum_calc(data.data(), data.size(), &crc);
    cksum_final(static_cast<std::int64_t>(data.size()), &crc);
    return crc;
}

} // namespace station
