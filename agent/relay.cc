// Relay to remote agents. The agent starts a copy of itself on the far host through
// rsh and speaks the ordinary protocol to it over two pipes: a push becomes a put
// (operation 1) there, a remote delete a delete (operation 2). The connection stays
// cached after the operation, so a run of requests to one host costs one rsh start and
// one hello; the sequence numbers on it count 1, 2, 3, ... just as the far agent's
// request loop expects them.
#include "relay.h"

#include "alarm.h"
#include "dirs.h"
#include "fileops.h"
#include "log.h"
#include "ownfile.h"
#include "protocol.h"
#include "wire.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// The connection cache: one connection at most, process-wide.
pid_t old_pid = 0;        // rsh child of the cached connection; 0 when none
Stream old_in;            // requests to the remote agent
Stream old_out;           // replies from the remote agent
char old_mach[HOST_CAP];  // host of the cached connection
std::int32_t old_seq = 0; // sequence number of the last request sent on it

constexpr const char *RSH = "/usr/bin/rsh";
constexpr const char *REMOTE_AGENT = "/usr/local/bin/tarko_remote2";
constexpr unsigned HELLO_LIMIT = 10;
// Each read of a reply from the far agent.
constexpr unsigned REPLY_LIMIT = 10;

// Waits for the child, also when the wait is cut short by a signal.
void await_child(pid_t pid) {
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

// Closes both streams of a connection and waits for its rsh child. Closing the request
// stream gives the far agent end of input, on which it ends, and rsh with it.
void drop_connection(pid_t pid, bool terminate) {
    stream_close(old_in);
    stream_close(old_out);
    if (terminate)
        kill(pid, SIGTERM);
    await_child(pid);
}

void close_pair(const int p[2]) {
    close(p[0]);
    close(p[1]);
}

// The rsh child: the request pipe becomes its standard input, the reply pipe its
// standard output, standard error stays the agent's own. Everything else the agent
// holds is close-on-exec.
[[noreturn]] void exec_rsh(const char *host, int req_read, int rep_write) {
    if (dup2(req_read, STDIN_FILENO) < 0 || dup2(rep_write, STDOUT_FILENO) < 0)
        _exit(1);
    char *const argv[] = {const_cast<char *>(RSH), const_cast<char *>(host),
                          const_cast<char *>(REMOTE_AGENT), nullptr};
    execv(RSH, argv);
    _exit(1);
}

// The hello without its newline, which stays in the reply stream for read_response to
// skip.
bool hello_accepted(const char *reply) {
    return std::memcmp(reply, HELLO.data(), HELLO_TEXT_LEN) == 0 ||
           std::memcmp(reply, HELLO_OLD.data(), HELLO_TEXT_LEN) == 0;
}

// Writes a counted string to the far agent. A failed write is left to the reply read,
// which then finds no answer (17): a connection whose agent has gone must not end this
// agent, however often it is asked to use it.
void send_relay_string(const char *text, Stream &s) {
    std::size_t n = std::strlen(text);
    send_long(static_cast<std::int32_t>(n), s);
    stream_write(s, text, n);
}

// Sends the request header and the two strings, and flushes: the far agent acts on them
// before any data follows.
void send_request(Stream &in, std::int32_t seq, Op op, const char *dir, const char *name) {
    send_char(REQUEST_MARK, in);
    send_long(seq, in);
    send_short(op_code(op), in);
    send_relay_string(dir, in);
    send_relay_string(name, in);
    stream_flush(in);
}

// Hands out a connection to host: the cached one (with the next sequence number) or a
// new one after the hello. Returns Ok, PipeFailed, ForkFailed or NoHello.
Status connect_to_remote(const char *host, pid_t *pid, Stream **in, Stream **out,
                         std::int32_t *seq) {
    // The remote shell would read such a name as an option of its own (ssh runs
    // -oProxyCommand=... as a command): no host is named so, and none is started.
    if (host[0] == '-') {
        log_entry("Refused host name %s: it would be read as an option", host);
        return Status::NoHello;
    }
    if (old_pid != 0 && std::strcmp(old_mach, host) == 0) {
        *pid = old_pid;
        *in = &old_in;
        *out = &old_out;
        *seq = ++old_seq;
        return Status::Ok;
    }
    if (old_pid != 0)
        drop_connection(old_pid, false);
    old_pid = 0;
    old_mach[0] = '\0';
    old_seq = 1;
    *seq = 1;

    // Close-on-exec, so that the pipes of this connection never reach later children
    // (admin scripts, jar, the next rsh); only the child's own copies are inherited.
    int req[2], rep[2];
    if (pipe2(req, O_CLOEXEC) < 0)
        return Status::PipeFailed;
    if (pipe2(rep, O_CLOEXEC) < 0) {
        close_pair(req);
        return Status::PipeFailed;
    }
    pid_t child = fork();
    if (child < 0) {
        close_pair(req);
        close_pair(rep);
        return Status::ForkFailed;
    }
    if (child == 0)
        exec_rsh(host, req[0], rep[1]);
    close(req[0]);
    close(rep[1]);
    stream_open(old_in, req[1]);
    stream_open(old_out, rep[0]);

    send_char(HELLO_MARK, old_in);
    stream_flush(old_in);
    char reply[HELLO_TEXT_LEN];
    if (timedfread(reply, 1, HELLO_TEXT_LEN, old_out, HELLO_LIMIT) != HELLO_TEXT_LEN ||
        !hello_accepted(reply)) {
        drop_connection(child, true);
        return Status::NoHello;
    }

    old_pid = child;
    std::snprintf(old_mach, sizeof old_mach, "%s", host);
    *pid = old_pid;
    *in = &old_in;
    *out = &old_out;
    return Status::Ok;
}

} // namespace

std::size_t timedfread(void *buf, std::size_t size, std::size_t count, Stream &s,
                       unsigned seconds) {
    arm_alarm(seconds, SignalReadTimeout);
    std::size_t got = size == 0 ? 0 : stream_read(s, buf, size * count, true);
    arm_alarm(REQUEST_LIMIT, SignalAlarmTimeout);
    return size == 0 ? 0 : got / size;
}

Status read_response(std::int32_t expected, Stream &s) {
    unsigned char c = 0;
    do {
        if (timedfread(&c, 1, 1, s, REPLY_LIMIT) != 1)
            return Status::NoResponse;
    } while (c != RESPONSE_MARK);
    unsigned char b[4];
    if (timedfread(b, 4, 1, s, REPLY_LIMIT) != 1)
        return Status::NoResponse;
    if (get_be32(b) != expected)
        return Status::SeqMismatch;
    unsigned char st[2];
    if (timedfread(st, 2, 1, s, REPLY_LIMIT) != 1)
        return Status::NoResponse;
    return static_cast<Status>(get_be16(st));
}

Status push_file_to_rmt_machine() {
    char host[HOST_CAP], dir[DIR_CAP], name[NAME_CAP];
    read_char_string(host, sizeof host, std_in);
    read_char_string(dir, sizeof dir, std_in);
    read_char_string(name, sizeof name, std_in);
    std::int32_t len = read_long(std_in);
    std::int32_t cksum = read_long(std_in);

    char path[DIR_CAP + NAME_CAP];
    std::snprintf(path, sizeof path, "%s/%s", dir, name);
    if (target_is_directory(path))
        return Status::IsDirectory;
    int fd = open_regular(path);
    if (fd < 0) {
        log_entry("Could not read file %s (%s)", path, std::strerror(errno));
        return Status::CannotOpen;
    }

    pid_t pid;
    Stream *in, *out;
    std::int32_t seq;
    Status st = connect_to_remote(host, &pid, &in, &out, &seq);
    if (st != Status::Ok) {
        close(fd);
        return st;
    }

    send_request(*in, seq, Op::Put, dir, name);
    st = read_response(seq, *out);
    if (st != Status::Ready) {
        close(fd);
        return st == Status::Ok ? Status::Failed : st;
    }

    // The station's length and checksum go out unchanged: the far agent checks the
    // bytes that arrive against what the station meant to send.
    send_long(len, *in);
    Status local = Status::Ok;
    if (len > 0)
        local = send_file_data(&fd, len, in, nullptr);
    if (fd >= 0)
        close(fd);
    send_long(cksum, *in);
    stream_flush(*in);

    st = read_response(seq, *out);
    return local != Status::Ok ? local : st;
}

Status delete_file_on_rmt_machine() {
    char host[HOST_CAP], dir[DIR_CAP], name[NAME_CAP];
    read_char_string(host, sizeof host, std_in);
    read_char_string(dir, sizeof dir, std_in);
    read_char_string(name, sizeof name, std_in);

    pid_t pid;
    Stream *in, *out;
    std::int32_t seq;
    Status st = connect_to_remote(host, &pid, &in, &out, &seq);
    if (st != Status::Ok)
        return st;
    send_request(*in, seq, Op::Delete, dir, name);
    return read_response(seq, *out);
}
