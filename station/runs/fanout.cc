#include "fanout.h"

#include "fdio.h"
#include "outcome.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <initializer_list>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>
#include <unordered_map>
#include <utility>
#include <vector>

namespace {

// Seconds that children get to end after the station was told to end: their agents
// get two to answer and clean up.
constexpr double STOP_GRACE = 3.0;
constexpr std::size_t LINE_CAP = 2048;

// One output stream of a child, cut into lines.
struct LineBuf {
    int fd = -1; // our end of the pipe; -1 once closed
    int to = 1;  // where its lines go: 1 or 2
    std::size_t len = 0;
    char buf[LINE_CAP];
};

struct Slot {
    pid_t pid = -1; // -1: free
    std::size_t host = 0;
    timespec start{};
    LineBuf out, err;
};

// Self-pipe: the SIGCHLD handler wakes the poll loop so that a child is reaped as soon
// as it ends, even while a process it left behind still holds its output pipes.
int wake_pipe[2] = {-1, -1};

void on_child(int) {
    int saved = errno;
    char c = 0;
    ssize_t w = write(wake_pipe[1], &c, 1);
    (void)w;
    errno = saved;
}

double since(const timespec &a) {
    timespec b;
    clock_gettime(CLOCK_MONOTONIC, &b);
    return static_cast<double>(b.tv_sec - a.tv_sec) + (b.tv_nsec - a.tv_nsec) / 1e9;
}

LineSink line_sink = nullptr;
void *line_sink_ctx = nullptr;

// Writes "HOST: " and the line in one write, so that lines of different hosts do not
// mix even when our output is shared with others.
void emit(int to, const char *host, const char *line, std::size_t n) {
    if (line_sink) {
        line_sink(host, to, line, n, line_sink_ctx);
        return;
    }
    char out[LINE_CAP + 80];
    int h = snprintf(out, sizeof out, "%s: ", host);
    if (h < 0)
        return;
    std::size_t hl = static_cast<std::size_t>(h) < sizeof out ? static_cast<std::size_t>(h) : 0;
    if (n > sizeof out - hl - 1)
        n = sizeof out - hl - 1;
    memcpy(out + hl, line, n);
    out[hl + n] = '\n';
    write_all(to, out, hl + n + 1);
}

// Reads what the pipe holds now and passes on complete lines; at end of input the last
// partial line too. Closes the descriptor at end of input.
void drain(LineBuf &lb, const char *host) {
    while (lb.fd >= 0) {
        ssize_t r = read(lb.fd, lb.buf + lb.len, LINE_CAP - lb.len);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0 && errno == EAGAIN)
            return;
        if (r <= 0) {
            if (lb.len > 0)
                emit(lb.to, host, lb.buf, lb.len);
            lb.len = 0;
            close(lb.fd);
            lb.fd = -1;
            return;
        }
        lb.len += static_cast<std::size_t>(r);
        std::size_t startpos = 0;
        for (std::size_t i = 0; i < lb.len; i++) {
            if (lb.buf[i] == '\n') {
                emit(lb.to, host, lb.buf + startpos, i - startpos);
                startpos = i + 1;
            }
        }
        memmove(lb.buf, lb.buf + startpos, lb.len - startpos);
        lb.len -= startpos;
        if (lb.len == LINE_CAP) { // a line longer than the buffer goes out in pieces
            emit(lb.to, host, lb.buf, lb.len);
            lb.len = 0;
        }
    }
}

// Starts the child for host i in the slot. Returns false (with the reason on standard
// error) when the system refuses a pipe or a process.
bool start(Slot &s, std::size_t i, const char *const *hosts, HostJob job, void *arg) {
    int po[2], pe[2];
    if (pipe2(po, O_CLOEXEC) < 0) {
        fprintf(stderr, "tarko_station: %s: cannot create a pipe (%s)\n", hosts[i],
                strerror(errno));
        return false;
    }
    if (pipe2(pe, O_CLOEXEC) < 0) {
        fprintf(stderr, "tarko_station: %s: cannot create a pipe (%s)\n", hosts[i],
                strerror(errno));
        close(po[0]);
        close(po[1]);
        return false;
    }
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid < 0) {
        fprintf(stderr, "tarko_station: %s: cannot create a process (%s)\n", hosts[i],
                strerror(errno));
        close(po[0]);
        close(po[1]);
        close(pe[0]);
        close(pe[1]);
        return false;
    }
    if (pid == 0) {
        signal(SIGCHLD, SIG_DFL);
        close(wake_pipe[0]);
        close(wake_pipe[1]);
        int null = open("/dev/null", O_RDONLY);
        if (null >= 0 && null != 0) {
            dup2(null, 0);
            close(null);
        }
        dup2(po[1], 1);
        dup2(pe[1], 2);
        int code = job(hosts[i], arg);
        fflush(stdout);
        fflush(stderr);
        _exit(code & 0xFF);
    }
    close(po[1]);
    close(pe[1]);
    fcntl(po[0], F_SETFL, O_NONBLOCK);
    fcntl(pe[0], F_SETFL, O_NONBLOCK);
    s.pid = pid;
    s.host = i;
    clock_gettime(CLOCK_MONOTONIC, &s.start);
    s.out.fd = po[0];
    s.out.to = 1;
    s.out.len = 0;
    s.err.fd = pe[0];
    s.err.to = 2;
    s.err.len = 0;
    return true;
}

} // namespace

void fanout_set_sink(LineSink sink, void *ctx) {
    line_sink = sink;
    line_sink_ctx = ctx;
}

int fanout_run(const char *const *hosts, std::size_t n, int jobs, HostJob job, void *arg,
               HostOutcome *out, const volatile sig_atomic_t *stop) {
    if (jobs < 1)
        jobs = 1;
    if (static_cast<std::size_t>(jobs) > n)
        jobs = static_cast<int>(n > 0 ? n : 1);
    std::vector<Slot> slots(static_cast<std::size_t>(jobs));
    std::vector<std::size_t> free_slots; // the slots without a child, taken from the back
    for (int k = jobs - 1; k >= 0; k--)
        free_slots.push_back(static_cast<std::size_t>(k));
    std::unordered_map<pid_t, std::size_t> slot_of; // running children
    if (pipe2(wake_pipe, O_CLOEXEC | O_NONBLOCK) < 0) {
        fprintf(stderr, "tarko_station: cannot create a pipe (%s)\n", strerror(errno));
        for (std::size_t i = 0; i < n; i++)
            out[i] = {code(Outcome::NoChild), 0.0};
        return static_cast<int>(n);
    }
    struct sigaction sa {
    }, old{};
    sa.sa_handler = on_child;
    sa.sa_flags = SA_RESTART | SA_NOCLDSTOP;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGCHLD, &sa, &old);

    // The child whose slot is k has ended with status st: take what its pipes hold and
    // free the slot.
    auto finish = [&](std::size_t k, int st) {
        Slot &s = slots[k];
        // What it wrote is in the pipes already. A process it left behind may hold them
        // open, so take what is there and let go.
        drain(s.out, hosts[s.host]);
        drain(s.err, hosts[s.host]);
        for (LineBuf *lb : {&s.out, &s.err}) {
            if (lb->fd >= 0) {
                if (lb->len > 0)
                    emit(lb->to, hosts[s.host], lb->buf, lb->len);
                close(lb->fd);
                lb->fd = -1;
                lb->len = 0;
            }
        }
        HostOutcome &o = out[s.host];
        o.seconds = since(s.start);
        o.code = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        slot_of.erase(s.pid);
        s.pid = -1;
        free_slots.push_back(k);
    };

    std::size_t next = 0;
    int passed_on = 0;     // the signal passed on to the children
    timespec stopped_at{}; // when it came
    bool killed = false;   // the children still running after the grace were killed
    std::vector<pollfd> fds;
    // The slot and line buffer behind each of fds but the first.
    std::vector<std::pair<std::size_t, LineBuf *>> polled;
    while ((next < n && !(stop && *stop)) || !slot_of.empty()) {
        if (stop && *stop && !passed_on) {
            passed_on = *stop;
            clock_gettime(CLOCK_MONOTONIC, &stopped_at);
            for (auto &[pid, k] : slot_of)
                kill(pid, passed_on);
        }
        if (passed_on && !killed && since(stopped_at) > STOP_GRACE) {
            killed = true;
            for (auto &[pid, k] : slot_of)
                kill(pid, SIGKILL);
        }
        while (next < n && !passed_on && !free_slots.empty()) {
            std::size_t k = free_slots.back();
            free_slots.pop_back();
            if (start(slots[k], next, hosts, job, arg))
                slot_of[slots[k].pid] = k;
            else {
                out[next] = {code(Outcome::NoChild), 0.0};
                free_slots.push_back(k);
            }
            next++;
        }
        if (slot_of.empty())
            continue;
        fds.clear();
        polled.clear();
        fds.push_back({wake_pipe[0], POLLIN, 0});
        for (auto &[pid, k] : slot_of)
            for (LineBuf *lb : {&slots[k].out, &slots[k].err})
                if (lb->fd >= 0) {
                    fds.push_back({lb->fd, POLLIN, 0});
                    polled.push_back({k, lb});
                }
        if (poll(fds.data(), static_cast<nfds_t>(fds.size()), 1000) < 0 && errno != EINTR)
            break;
        char sink[64];
        while (read(wake_pipe[0], sink, sizeof sink) > 0) {
        }
        // Only the pipes that have something are read: with hundreds of hosts at a
        // time, reading every pipe at every wake-up would cost more than the work.
        for (std::size_t f = 1; f < fds.size(); f++) {
            if (!fds[f].revents)
                continue;
            auto [k, lb] = polled[f - 1];
            drain(*lb, hosts[slots[k].host]);
        }
        int st = 0;
        pid_t r;
        while ((r = waitpid(-1, &st, WNOHANG)) > 0) {
            auto at = slot_of.find(r);
            if (at != slot_of.end())
                finish(at->second, st);
        }
    }
    sigaction(SIGCHLD, &old, nullptr);
    close(wake_pipe[0]);
    close(wake_pipe[1]);
    wake_pipe[0] = wake_pipe[1] = -1;
    int failed = 0;
    for (std::size_t i = 0; i < n; i++)
        failed += out[i].code != 0;
    return failed;
}

void fanout_table(FILE *f, const char *const *hosts, std::size_t n, const HostOutcome *out,
                  const char *(*meaning)(int code)) {
    int hw = 4, mw = 7;
    for (std::size_t i = 0; i < n; i++) {
        int l = static_cast<int>(strlen(hosts[i]));
        int m = static_cast<int>(strlen(meaning(out[i].code)));
        hw = l > hw ? l : hw;
        mw = m > mw ? m : mw;
    }
    fprintf(f, "%-*s  %6s  %-*s  %7s\n", hw, "HOST", "STATUS", mw, "MEANING", "SECONDS");
    for (std::size_t i = 0; i < n; i++)
        if (out[i].code >= 0)
            fprintf(f, "%-*s  %6d  %-*s  %7.2f\n", hw, hosts[i], out[i].code, mw,
                    meaning(out[i].code), out[i].seconds);
}
