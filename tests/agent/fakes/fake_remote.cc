// A stand-in for the agent on a far host, for the relay tests. Installed as
// /usr/local/bin/tarko_remote2 in one host of the simulated site, it follows the script
// in /fake_remote/mode of that host (rsh passes no environment), records every byte it
// receives in /fake_remote/received and notes its life in /fake_remote/events, one line
// each: "start", "term" (SIGTERM arrived), "eof" (its input ended), "end".
//
// The script is a list of steps, separated by blanks or newlines:
//   hello TEXT   read the hello byte and answer TEXT and a newline
//   hello none   read the hello byte and answer nothing
//   reply N      read one request and answer it with status N; a status 1 to a put
//                (operation 1) is followed by reading its data phase
//   answer N     read one request and answer it with status N, and nothing more
//   replyas S N  read one request and answer it with sequence number S and status N
//   partial      write the first three bytes of a response and answer no more
//   sleep N      sleep N seconds
//   die          end at once
//   proxy PATH   run the program PATH as the agent and pass every byte both ways
// After the last step the fake reads its input until it ends.
#include "protocol.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

int record_fd = -1;
int events_fd = -1;

void note(const char *line) {
    if (events_fd >= 0) {
        std::string s = std::string(line) + "\n";
        if (write(events_fd, s.data(), s.size()) < 0) {
        }
    }
}

void on_term(int) {
    if (events_fd >= 0) {
        const char m[] = "term\n";
        if (write(events_fd, m, sizeof m - 1) < 0) {
        }
    }
    _exit(143);
}

[[noreturn]] void finish(int status) {
    note("end");
    _exit(status);
}

bool write_all(int fd, const void *p, size_t n) {
    const char *c = static_cast<const char *>(p);
    while (n > 0) {
        ssize_t w = write(fd, c, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        c += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

// Reads up to n bytes from standard input, recording them; returns the count read.
size_t read_input(void *p, size_t n) {
    char *c = static_cast<char *>(p);
    size_t got = 0;
    while (got < n) {
        ssize_t r = read(0, c + got, n - got);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        write_all(record_fd, c + got, static_cast<size_t>(r));
        got += static_cast<size_t>(r);
    }
    return got;
}

// Reads exactly n bytes or ends the fake: the relaying agent has closed the connection.
void need(void *p, size_t n) {
    if (read_input(p, n) != n) {
        note("eof");
        finish(0);
    }
}

std::int32_t need_long() {
    unsigned char b[4];
    need(b, 4);
    return get_be32(b);
}

void skip(std::int64_t n) {
    char buf[4096];
    while (n > 0) {
        size_t k = n > 4096 ? 4096 : static_cast<size_t>(n);
        need(buf, k);
        n -= static_cast<std::int64_t>(k);
    }
}

void send_status(std::int32_t seq, int status) {
    unsigned char r[7] = {RESPONSE_MARK};
    put_be32(r + 1, seq);
    put_be16(r + 5, static_cast<std::int16_t>(status));
    if (!write_all(1, r, sizeof r))
        finish(0);
}

// Answers one request; as_seq, when not 0, replaces its sequence number in the answer.
void step_reply(int status, std::int32_t as_seq = 0, bool data_phase = true) {
    char c = 0;
    do
        need(&c, 1);
    while (c != 'A');
    std::int32_t seq = need_long();
    unsigned char op[2];
    need(op, 2);
    skip(need_long()); // directory
    skip(need_long()); // name
    send_status(as_seq ? as_seq : seq, status);
    if (data_phase && status == 1 && op[0] == 0 && op[1] == 1) {
        std::int32_t len = need_long();
        if (len > 0)
            skip(len);
        need_long(); // checksum
    }
}

void drain() {
    char buf[4096];
    while (read_input(buf, sizeof buf) == sizeof buf) {
    }
    note("eof");
}

// Runs the real agent behind pipes and passes the bytes through, recording the input.
void step_proxy(const char *path) {
    int to[2], from[2];
    if (pipe(to) < 0 || pipe(from) < 0)
        finish(1);
    pid_t pid = fork();
    if (pid < 0)
        finish(1);
    if (pid == 0) {
        dup2(to[0], 0);
        dup2(from[1], 1);
        close(to[0]);
        close(to[1]);
        close(from[0]);
        close(from[1]);
        signal(SIGPIPE, SIG_DFL);
        execl(path, path, static_cast<char *>(nullptr));
        _exit(127);
    }
    close(to[0]);
    close(from[1]);
    int agent_in = to[1];
    pollfd fds[2] = {{0, POLLIN, 0}, {from[0], POLLIN, 0}};
    char buf[4096];
    for (;;) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[0].revents) {
            ssize_t r = read(0, buf, sizeof buf);
            if (r > 0) {
                write_all(record_fd, buf, static_cast<size_t>(r));
                write_all(agent_in, buf, static_cast<size_t>(r));
            } else if (r == 0 || errno != EINTR) {
                note("eof");
                close(agent_in);
                fds[0].fd = -1;
            }
        }
        if (fds[1].revents) {
            ssize_t r = read(from[0], buf, sizeof buf);
            if (r > 0) {
                if (!write_all(1, buf, static_cast<size_t>(r)))
                    break;
            } else if (r == 0 || errno != EINTR) {
                break; // the agent has ended: so does the connection
            }
        }
    }
    close(1);
    kill(pid, SIGTERM);
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    finish(0);
}

} // namespace

int main() {
    signal(SIGPIPE, SIG_IGN);
    signal(SIGTERM, on_term);
    record_fd = open("/fake_remote/received", O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    events_fd = open("/fake_remote/events", O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    note("start");

    char script[4096] = {};
    int mfd = open("/fake_remote/mode", O_RDONLY | O_CLOEXEC);
    if (mfd >= 0) {
        ssize_t n = read(mfd, script, sizeof script - 1);
        script[n > 0 ? n : 0] = '\0';
        close(mfd);
    }

    char *save = nullptr;
    for (char *w = strtok_r(script, " \t\n", &save); w; w = strtok_r(nullptr, " \t\n", &save)) {
        char *arg = nullptr;
        auto next = [&] { return arg = strtok_r(nullptr, " \t\n", &save); };
        if (std::strcmp(w, "hello") == 0 && next()) {
            char c;
            need(&c, 1);
            if (std::strcmp(arg, "none") != 0) {
                std::string text = std::string(arg) + "\n";
                if (!write_all(1, text.data(), text.size()))
                    finish(0);
            }
        } else if (std::strcmp(w, "reply") == 0 && next()) {
            step_reply(std::atoi(arg));
        } else if (std::strcmp(w, "answer") == 0 && next()) {
            step_reply(std::atoi(arg), 0, false);
        } else if (std::strcmp(w, "replyas") == 0 && next()) {
            std::int32_t as = std::atoi(arg);
            if (next())
                step_reply(std::atoi(arg), as);
        } else if (std::strcmp(w, "partial") == 0) {
            if (!write_all(1, "R\0\0", 3))
                finish(0);
        } else if (std::strcmp(w, "sleep") == 0 && next()) {
            sleep(static_cast<unsigned>(std::atoi(arg)));
        } else if (std::strcmp(w, "die") == 0) {
            finish(0);
        } else if (std::strcmp(w, "proxy") == 0 && next()) {
            step_proxy(arg);
        }
    }
    drain();
    finish(0);
}
