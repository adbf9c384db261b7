// The client side of ssh's control socket: each message is a 32-bit length and a body
// that starts with its 32-bit type, all big-endian; strings are counted; descriptors go
// one at a time, each with one byte, as ancillary data.
#include "sshmux.h"

#include "fdio.h"
#include "protocol.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <poll.h>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace station {

namespace {

constexpr std::uint32_t MSG_HELLO = 0x00000001;
constexpr std::uint32_t NEW_SESSION = 0x10000002;
constexpr std::uint32_t PERMISSION_DENIED = 0x80000002;
constexpr std::uint32_t FAILURE = 0x80000003;
constexpr std::uint32_t EXIT_MESSAGE = 0x80000004;
constexpr std::uint32_t VERSION = 4;
constexpr std::uint32_t NO_ESCAPE = 0xffffffff;
constexpr int HANDSHAKE_MS = 2000;     // the master is on this machine and answers at once
constexpr std::size_t BODY_CAP = 4096; // longest message taken from the master

void put_u32(std::string &m, std::uint32_t v) {
    unsigned char b[4];
    put_be32(b, static_cast<std::int32_t>(v));
    m.append(reinterpret_cast<const char *>(b), 4);
}

void put_str(std::string &m, std::string_view s) {
    put_u32(m, static_cast<std::uint32_t>(s.size()));
    m.append(s);
}

std::uint32_t get_u32(const std::string &m, std::size_t at) {
    return at + 4 <= m.size() ? static_cast<std::uint32_t>(get_be32(
                                    reinterpret_cast<const unsigned char *>(m.data()) + at))
                              : 0;
}

bool send_message(int s, const std::string &body) {
    std::string m;
    put_str(m, body);
    for (std::size_t at = 0; at < m.size();) {
        ssize_t k = send(s, m.data() + at, m.size() - at, MSG_NOSIGNAL);
        if (k < 0 && errno == EINTR)
            continue;
        if (k <= 0)
            return false;
        at += static_cast<std::size_t>(k);
    }
    return true;
}

bool send_fd(int s, int fd) {
    char byte = 0;
    iovec iov{&byte, 1};
    alignas(cmsghdr) char space[CMSG_SPACE(sizeof(int))] = {};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = space;
    msg.msg_controllen = sizeof space;
    cmsghdr *c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    memcpy(CMSG_DATA(c), &fd, sizeof fd);
    ssize_t k;
    while ((k = sendmsg(s, &msg, MSG_NOSIGNAL)) < 0 && errno == EINTR) {
    }
    return k == 1;
}

// Reads n bytes before deadline. Returns 1, 0 when the master closed or failed, -1
// when the time ran out.
int read_by(int s, void *p, std::size_t n, long long deadline) {
    auto *b = static_cast<char *>(p);
    while (n > 0) {
        long long left = deadline - monotonic_ms();
        if (left <= 0)
            return -1;
        pollfd pfd{s, POLLIN, 0};
        int r = poll(&pfd, 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return 0;
        if (r == 0)
            return -1;
        ssize_t k = read(s, b, n);
        if (k < 0 && errno == EINTR)
            continue;
        if (k <= 0)
            return 0;
        b += k;
        n -= static_cast<std::size_t>(k);
    }
    return 1;
}

// Reads one message's body; as read_by.
int read_message(int s, std::string &body, long long deadline) {
    unsigned char len[4];
    if (int r = read_by(s, len, 4, deadline); r != 1)
        return r;
    auto n = static_cast<std::uint32_t>(get_be32(len));
    if (n < 4 || n > BODY_CAP)
        return 0;
    body.resize(n);
    return read_by(s, body.data(), n, deadline);
}

} // namespace

int mux_open(const char *socket_path, const char *command, int in, int out, int err) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (strlen(socket_path) >= sizeof addr.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    memcpy(addr.sun_path, socket_path, strlen(socket_path) + 1);
    int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return -1;
    if (connect(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0) {
        int e = errno;
        close(s);
        errno = e;
        return -1;
    }
    std::string hello, theirs;
    put_u32(hello, MSG_HELLO);
    put_u32(hello, VERSION);
    bool ok = send_message(s, hello) &&
              read_message(s, theirs, monotonic_ms() + HANDSHAKE_MS) == 1 &&
              get_u32(theirs, 0) == MSG_HELLO && get_u32(theirs, 4) == VERSION;
    if (ok) {
        std::string m;
        put_u32(m, NEW_SESSION);
        put_u32(m, 1);  // request number
        put_str(m, ""); // reserved
        for (int flag = 0; flag < 4; flag++)
            put_u32(m, 0); // no terminal, X11, agent forwarding or subsystem
        put_u32(m, NO_ESCAPE);
        put_str(m, ""); // terminal type
        put_str(m, command);
        ok = send_message(s, m) && send_fd(s, in) && send_fd(s, out) && send_fd(s, err);
    }
    if (!ok) {
        close(s);
        errno = EPROTO;
        return -1;
    }
    return s;
}

int mux_wait(int ctl, int timeout_ms) {
    long long deadline = monotonic_ms() + timeout_ms;
    std::string m;
    for (;;) {
        int r = read_message(ctl, m, deadline);
        if (r < 0)
            return -1;
        std::uint32_t type = get_u32(m, 0);
        if (r == 0 || type == FAILURE || type == PERMISSION_DENIED)
            return 255;
        if (type == EXIT_MESSAGE)
            return static_cast<int>(get_u32(m, 8) & 0xff);
        // The session's opening and other notices: the end is still to come.
    }
}

} // namespace station
