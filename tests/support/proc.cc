#include "proc.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

namespace testproc {

std::string bin(const char *name) {
    return std::string(BIN_DIR) + "/" + name;
}

static long long now_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

static std::vector<std::string> child_env(const Options &opt) {
    std::vector<std::string> env;
    for (char **e = environ; *e; e++) {
        std::string kv = *e;
        std::string name = kv.substr(0, kv.find('='));
        bool drop = false;
        for (auto &u : opt.unset)
            drop |= u == name;
        for (auto &s : opt.env)
            drop |= s.substr(0, s.find('=')) == name;
        if (!drop)
            env.push_back(kv);
    }
    for (auto &s : opt.env)
        env.push_back(s);
    return env;
}

// A child that ends before reading all of its input must not take the test program
// down with SIGPIPE: the write fails with EPIPE instead. Children get the default back.
static void keep_sigpipe_from_ending_tests() {
    struct sigaction sa {};
    sigaction(SIGPIPE, nullptr, &sa);
    if (sa.sa_handler == SIG_DFL)
        signal(SIGPIPE, SIG_IGN);
}

// A test program started without standard input (or output) would hand descriptor 0
// to the first pipe it makes, and the child's dup2 onto 0 would then keep that pipe's
// close-on-exec flag: /dev/null takes any missing standard descriptor first.
static void fill_standard_descriptors() {
    int fd;
    do
        fd = open("/dev/null", O_RDWR | O_CLOEXEC);
    while (fd >= 0 && fd <= 2 && fcntl(fd, F_SETFD, 0) == 0);
    if (fd > 2)
        close(fd);
}

bool spawn(Child &c, const std::vector<std::string> &argv, const Options &opt) {
    fill_standard_descriptors();
    keep_sigpipe_from_ending_tests();
    int pin[2], pout[2], perr[2];
    if (pipe2(pin, O_CLOEXEC) < 0)
        return false;
    if (pipe2(pout, O_CLOEXEC) < 0 || pipe2(perr, O_CLOEXEC) < 0)
        return false;
    std::vector<std::string> env = child_env(opt);
    std::vector<char *> av, ev;
    std::string arg0 = opt.argv0.empty() ? argv[0] : opt.argv0;
    av.push_back(arg0.data());
    for (size_t i = 1; i < argv.size(); i++)
        av.push_back(const_cast<char *>(argv[i].c_str()));
    av.push_back(nullptr);
    for (auto &e : env)
        ev.push_back(e.data());
    ev.push_back(nullptr);
    pid_t pid = fork();
    if (pid < 0)
        return false;
    if (pid == 0) {
        dup2(pin[0], 0);
        dup2(pout[1], 1);
        dup2(perr[1], 2);
        signal(SIGPIPE, SIG_DFL);
        if (opt.cwd && chdir(opt.cwd) < 0)
            _exit(126);
        execve(argv[0].c_str(), av.data(), ev.data());
        _exit(127);
    }
    close(pin[0]);
    close(pout[1]);
    close(perr[1]);
    c.pid = pid;
    c.in = pin[1];
    c.out = pout[0];
    c.err = perr[0];
    return true;
}

void close_input(Child &c) {
    if (c.in >= 0)
        close(c.in);
    c.in = -1;
}

int wait(Child &c, int timeout_ms) {
    if (c.pid < 0)
        return -1;
    long long end = now_ms() + timeout_ms;
    for (;;) {
        int st;
        pid_t r = waitpid(c.pid, &st, WNOHANG);
        if (r == c.pid) {
            c.pid = -1;
            return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        }
        if (now_ms() >= end) {
            kill(c.pid, SIGKILL);
            waitpid(c.pid, &st, 0);
            c.pid = -1;
            return -1;
        }
        usleep(2000);
    }
}

std::string read_n(int fd, size_t n, int timeout_ms) {
    std::string got;
    long long end = now_ms() + timeout_ms;
    char buf[65536];
    while (got.size() < n) {
        long long left = end - now_ms();
        if (left <= 0)
            break;
        pollfd p{fd, POLLIN, 0};
        int r = poll(&p, 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        size_t want = std::min(n - got.size(), sizeof buf);
        ssize_t k = read(fd, buf, want);
        if (k < 0 && errno == EINTR)
            continue;
        if (k <= 0)
            break;
        got.append(buf, static_cast<size_t>(k));
    }
    return got;
}

std::string read_all(int fd, int timeout_ms) {
    return read_n(fd, SIZE_MAX, timeout_ms);
}

bool write_all(int fd, const std::string &data) {
    size_t off = 0;
    while (off < data.size()) {
        ssize_t k = write(fd, data.data() + off, data.size() - off);
        if (k < 0 && errno == EINTR)
            continue;
        if (k <= 0)
            return false;
        off += static_cast<size_t>(k);
    }
    return true;
}

void reap(Child &c) {
    if (c.pid > 0) {
        kill(c.pid, SIGKILL);
        int st;
        waitpid(c.pid, &st, 0);
        c.pid = -1;
    }
    for (int *fd : {&c.in, &c.out, &c.err})
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
}

Result run(const std::vector<std::string> &argv, const Options &opt) {
    Result res;
    Child c;
    if (!spawn(c, argv, opt)) {
        res.status = 127;
        return res;
    }
    long long end = now_ms() + opt.timeout_ms;
    size_t in_off = 0;
    if (opt.input.empty())
        close_input(c);
    else
        fcntl(c.in, F_SETFL, O_NONBLOCK);
    bool out_open = true, err_open = true;
    char buf[65536];
    std::size_t pieces = 0;
    long long next_piece = 0; // when the next piece of a trickled input may go
    while (out_open || err_open || c.in >= 0) {
        long long now = now_ms(), left = end - now;
        if (left <= 0)
            break;
        bool may_write = c.in >= 0 && now >= next_piece;
        long long wait = c.in >= 0 && !may_write ? std::min(left, next_piece - now) : left;
        pollfd p[3] = {{out_open ? c.out : -1, POLLIN, 0},
                       {err_open ? c.err : -1, POLLIN, 0},
                       {may_write ? c.in : -1, POLLOUT, 0}};
        int r = poll(p, 3, static_cast<int>(wait));
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            break;
        for (int i = 0; i < 2; i++) {
            if (!p[i].revents)
                continue;
            ssize_t k = read(p[i].fd, buf, sizeof buf);
            if (k > 0)
                (i == 0 ? res.out : res.err).append(buf, static_cast<size_t>(k));
            else if (k == 0 || errno != EINTR)
                (i == 0 ? out_open : err_open) = false;
        }
        if (p[2].revents) {
            std::size_t want = opt.input.size() - in_off;
            if (opt.input_piece > 0) {
                want = std::min(want, 1 + pieces++ % opt.input_piece);
                next_piece = now_ms() + 1;
            }
            ssize_t k = write(c.in, opt.input.data() + in_off, want);
            if (k > 0)
                in_off += static_cast<size_t>(k);
            if ((k < 0 && errno != EINTR && errno != EAGAIN) || in_off == opt.input.size())
                close_input(c);
        }
    }
    long long left = end - now_ms();
    res.status = wait(c, static_cast<int>(left > 0 ? left : 0));
    res.timed_out = res.status == -1;
    reap(c);
    return res;
}

} // namespace testproc
