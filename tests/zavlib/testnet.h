// Helpers for the tests of the site library and its programs: sockets on 127.0.0.1 and
// forked children in namespaces of their own (host name, network, mounts), so that
// host-name and resolver cases never reach another machine or the real site paths.
#pragma once

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testnet {

// Exit status of an isolated child that could not enter its namespaces.
inline constexpr int ns_unavailable = 77;

inline sockaddr_in loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

inline int bound_port(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    return ntohs(a.sin_port);
}

// A listening TCP socket on 127.0.0.1 (port 0: any free port); -1 on failure.
inline int listen_tcp(int *port, int want = 0) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a = loopback(want);
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) < 0 || listen(fd, 8) < 0) {
        close(fd);
        return -1;
    }
    *port = bound_port(fd);
    return fd;
}

// A UDP socket bound on 127.0.0.1; -1 on failure.
inline int bind_udp(int *port, int want = 0) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = loopback(want);
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) < 0) {
        close(fd);
        return -1;
    }
    *port = bound_port(fd);
    return fd;
}

// A TCP connection to 127.0.0.1:port; -1 on failure.
inline int connect_tcp(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = loopback(port);
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Closes a TCP connection with a reset instead of an orderly end.
inline void reset_close(int fd) {
    linger lg{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    close(fd);
}

// A port on 127.0.0.1 with nothing listening behind it (TCP and UDP alike, for a moment).
inline int closed_port() {
    int port = 0;
    int fd = bind_udp(&port);
    close(fd);
    return port;
}

// Brings up the loopback interface of a fresh network namespace.
inline bool loopback_up() {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    ifreq ifr{};
    std::strcpy(ifr.ifr_name, "lo");
    bool ok = ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
    ifr.ifr_flags |= IFF_UP;
    ok = ok && ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
    close(fd);
    return ok;
}

// Namespaces for isolated(): a host name of its own, a network with only a loopback
// (the resolver cannot reach any server from there), and private mounts.
inline constexpr int ns_host = CLONE_NEWUTS;
inline constexpr int ns_net = CLONE_NEWNET;
inline constexpr int ns_mounts = CLONE_NEWNS;

// Runs body in a forked child that first enters the namespaces of flags (bringing up
// its loopback with ns_net; making all mounts private with ns_mounts). Returns the
// child's exit status (body's result), ns_unavailable when the namespaces cannot be
// had, 128 + signal when the child was killed.
inline int isolated(int flags, const std::function<int()> &body) {
    pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        alarm(20);
        if (unshare(flags) < 0)
            _exit(ns_unavailable);
        if ((flags & ns_net) && !loopback_up())
            _exit(ns_unavailable);
        if ((flags & ns_mounts) && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) < 0)
            _exit(ns_unavailable);
        _exit(body());
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
}

// Lays a file with the given text over an existing file, inside a mount namespace.
inline bool cover_file(const char *target, const std::string &text, const char *scratch) {
    int fd = open(scratch, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return false;
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return ok && mount(scratch, target, nullptr, MS_BIND, nullptr) == 0;
}

} // namespace testnet
