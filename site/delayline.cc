#include "delayline.h"

#include "net.h"

#include <arpa/inet.h>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <linux/if_packet.h>
#include <linux/if_tun.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char *kIp = "/usr/sbin/ip";
constexpr const char *kTun = "/dev/net/tun";

// A frame read whole: a virtio-net header and up to 64 KiB of segmentation offload,
// with room to spare so that a longer one is seen as such and dropped.
constexpr std::size_t kMaxFrame = 256 * 1024;
// What one direction may hold, in bytes and in frames; a frame beyond it is dropped,
// as a full queue drops it. 8 MiB in flight keeps a line of several Gbit/s busy at a
// delay of 10 ms.
constexpr std::size_t kQueueBytes = 8u << 20;
constexpr std::size_t kQueueFrames = 1u << 16;
// The frames read from one side in a row before the other side gets its turn.
constexpr int kReadBurst = 64;
constexpr int kSocketBuffer = 8 << 20;

struct Frame {
    std::uint32_t off = 0, len = 0;
    std::int64_t due_ns = 0;
};

// The frames of one direction, oldest first: their bytes in a ring, each frame whole
// (a frame that does not fit before the ring's end goes to its start).
struct Queue {
    std::vector<unsigned char> bytes = std::vector<unsigned char>(kQueueBytes);
    std::vector<Frame> frames = std::vector<Frame>(kQueueFrames);
    std::size_t head = 0, count = 0;
    bool blocked = false; // the last write would have blocked: wait until it can go
};

std::int64_t now_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

// Where a frame of len bytes can go in q's ring, or -1 when q is full.
long place(const Queue &q, std::size_t len) {
    if (q.count == 0)
        return 0;
    if (q.count == kQueueFrames)
        return -1;
    std::size_t first = q.frames[q.head].off;
    const Frame &last = q.frames[(q.head + q.count - 1) % kQueueFrames];
    std::size_t end = last.off + last.len;
    if (end > first) { // the bytes run from first to end: room after them, or before
        if (kQueueBytes - end >= len)
            return static_cast<long>(end);
        return first > len ? 0 : -1;
    }
    return first - end > len ? static_cast<long>(end) : -1;
}

// Queues the frame data[0..len) to go out at due_ns. Returns false when q is full
// (the frame is dropped).
bool push(Queue &q, const unsigned char *data, std::size_t len, std::int64_t due_ns) {
    long off = place(q, len);
    if (off < 0)
        return false;
    std::memcpy(q.bytes.data() + off, data, len);
    Frame &f = q.frames[(q.head + q.count) % kQueueFrames];
    f.off = static_cast<std::uint32_t>(off);
    f.len = static_cast<std::uint32_t>(len);
    f.due_ns = due_ns;
    q.count++;
    return true;
}

void pop(Queue &q) {
    q.head = (q.head + 1) % kQueueFrames;
    q.count--;
}

// Writes the frames of q that are due to fd. Returns false when fd failed.
bool send_due(Queue &q, int fd, bool is_socket, std::int64_t now) {
    while (q.count > 0 && !q.blocked && q.frames[q.head].due_ns <= now) {
        const Frame &f = q.frames[q.head];
        const unsigned char *data = q.bytes.data() + f.off;
        ssize_t k =
            is_socket ? send(fd, data, f.len, MSG_DONTWAIT | MSG_NOSIGNAL) : write(fd, data, f.len);
        if (k < 0 && errno == EINTR)
            continue;
        if (k < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            q.blocked = true;
            return true;
        }
        // A frame refused (a full queue of the device, a malformed one) is lost as on a
        // real line; a device gone ends the line.
        if (k < 0 && (errno == ENXIO || errno == ENODEV || errno == EBADF))
            return false;
        pop(q);
    }
    return true;
}

// Reads a burst of frames from fd into q, due delay_ns from now. Returns false when fd
// failed.
bool receive(int fd, bool is_socket, Queue &q, std::vector<unsigned char> &buf,
             std::int64_t delay_ns) {
    for (int n = 0; n < kReadBurst; n++) {
        ssize_t k = is_socket ? recv(fd, buf.data(), buf.size(), MSG_DONTWAIT | MSG_TRUNC)
                              : read(fd, buf.data(), buf.size());
        if (k < 0 && errno == EINTR)
            continue;
        if (k < 0)
            return errno == EAGAIN || errno == EWOULDBLOCK;
        if (k == 0 || static_cast<std::size_t>(k) >= buf.size())
            continue; // nothing, or more than a frame can be: dropped
        push(q, buf.data(), static_cast<std::size_t>(k), now_ns() + delay_ns);
    }
    return true;
}

// The time until the earliest frame of qs is due, for ppoll; nullptr when none waits.
const timespec *next_due(const std::array<Queue, 2> &qs, std::int64_t now, timespec *ts) {
    std::int64_t due = -1;
    for (auto &q : qs)
        if (q.count > 0 && !q.blocked && (due < 0 || q.frames[q.head].due_ns < due))
            due = q.frames[q.head].due_ns;
    if (due < 0)
        return nullptr;
    std::int64_t wait = due > now ? due - now : 0;
    ts->tv_sec = static_cast<time_t>(wait / 1000000000LL);
    ts->tv_nsec = static_cast<long>(wait % 1000000000LL);
    return ts;
}

bool fail(std::string *err, const std::string &what, int e) {
    *err = what + " (" + std::strerror(e) + ")";
    return false;
}

// The TAP device name, with virtio-net headers and the offloads of a veth, so that
// frames come out of it as large as they went into the bridge.
int open_tap(const std::string &name, std::string *err) {
    int fd = open(kTun, O_RDWR | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        fail(err, std::string("cannot open ") + kTun, errno);
        return -1;
    }
    ifreq ifr{};
    ifr.ifr_flags = IFF_TAP | IFF_NO_PI | IFF_VNET_HDR;
    std::memcpy(ifr.ifr_name, name.data(), std::min(name.size(), sizeof ifr.ifr_name - 1));
    unsigned offloads = TUN_F_CSUM | TUN_F_TSO4 | TUN_F_TSO6 | TUN_F_TSO_ECN;
    if (ioctl(fd, TUNSETIFF, &ifr) < 0 || ioctl(fd, TUNSETOFFLOAD, offloads) < 0) {
        fail(err, "cannot create the TAP device " + name, errno);
        close(fd);
        return -1;
    }
    return fd;
}

// A packet socket on port: every frame the port receives (none of those sent through
// it), each after its virtio-net header.
int open_port(const std::string &port, std::string *err) {
    // Protocol 0 until bound, so that no frame of another device gets in before.
    int fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        fail(err, "cannot open a packet socket", errno);
        return -1;
    }
    int one = 1, size = kSocketBuffer;
    sockaddr_ll a{};
    a.sll_family = AF_PACKET;
    a.sll_protocol = htons(ETH_P_ALL);
    a.sll_ifindex = static_cast<int>(if_nametoindex(port.c_str()));
    if (setsockopt(fd, SOL_PACKET, PACKET_VNET_HDR, &one, sizeof one) < 0 ||
        setsockopt(fd, SOL_PACKET, PACKET_IGNORE_OUTGOING, &one, sizeof one) < 0 ||
        a.sll_ifindex == 0 || bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) < 0) {
        fail(err, "cannot open a packet socket on " + port, errno);
        close(fd);
        return -1;
    }
    // Larger buffers as root; the defaults only make drops come sooner.
    setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
    setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &size, sizeof size);
    return fd;
}

void put_back(const std::string &port) {
    std::string ignored;
    run_program({kIp, "link", "set", port, "master", "br0"}, &ignored);
}

} // namespace

std::string delay_tap_name(const std::string &port) {
    return "t" + port;
}

int run_delay_line(int packet_fd, int tap_fd, int delay_ms) {
    const std::int64_t delay_ns = delay_ms * 1000000LL;
    // qs[0]: from the port towards the bridge (written to the TAP device); qs[1]: back.
    std::array<Queue, 2> qs;
    std::vector<unsigned char> buf(kMaxFrame);
    for (;;) {
        std::int64_t now = now_ns();
        if (!send_due(qs[0], tap_fd, false, now) || !send_due(qs[1], packet_fd, true, now))
            return 1;
        std::array<pollfd, 2> p = {{{packet_fd, POLLIN, 0}, {tap_fd, POLLIN, 0}}};
        if (qs[1].blocked)
            p[0].events |= POLLOUT;
        if (qs[0].blocked)
            p[1].events |= POLLOUT;
        timespec ts;
        int r = ppoll(p.data(), p.size(), next_due(qs, now, &ts), nullptr);
        if (r < 0 && errno != EINTR)
            return 1;
        if (r <= 0)
            continue;
        for (auto &pf : p)
            if (pf.revents & (POLLERR | POLLHUP | POLLNVAL))
                return 1;
        if (p[0].revents & POLLOUT)
            qs[1].blocked = false;
        if (p[1].revents & POLLOUT)
            qs[0].blocked = false;
        if ((p[0].revents & POLLIN) && !receive(packet_fd, true, qs[0], buf, delay_ns))
            return 1;
        if ((p[1].revents & POLLIN) && !receive(tap_fd, false, qs[1], buf, delay_ns))
            return 1;
    }
}

int start_delay_line(const std::string &port, int delay_ms, std::string *err) {
    std::string tap = delay_tap_name(port);
    int tap_fd = open_tap(tap, err);
    if (tap_fd < 0)
        return -1;
    int packet_fd = open_port(port, err);
    if (packet_fd < 0) {
        close(tap_fd);
        return -1;
    }
    // Off the bridge before the TAP device joins it: never two ways between a host and
    // the bridge.
    bool ok = run_program({kIp, "link", "set", port, "nomaster"}, err) == 0 &&
              run_program({kIp, "link", "set", tap, "master", "br0", "up"}, err) == 0;
    pid_t parent = getpid();
    pid_t pid = ok ? fork() : -1;
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(1);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGPIPE})
            signal(sig, SIG_DFL);
        // Only the two ends: the daemon's sockets and pipes must not live on here.
        if (dup2(packet_fd, 3) < 0 || dup2(tap_fd, 4) < 0)
            _exit(1);
        close_range(5, ~0u, 0);
        _exit(run_delay_line(3, 4, delay_ms));
    }
    if (ok && pid < 0)
        ok = fail(err, "cannot create the delay line's process", errno);
    close(packet_fd);
    close(tap_fd);
    int pidfd = pid > 0 ? static_cast<int>(syscall(SYS_pidfd_open, pid, 0)) : -1;
    if (pid > 0 && pidfd < 0) {
        fail(err, "cannot hold the delay line's process", errno);
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        ok = false;
    }
    if (!ok) {
        put_back(port);
        return -1;
    }
    fcntl(pidfd, F_SETFD, FD_CLOEXEC);
    return pidfd;
}

bool stop_delay_line(const std::string &port, int pidfd, std::string *err) {
    if (pidfd < 0)
        return true;
    // Reaped here unless the daemon's own reaping came first, after it ended by itself.
    syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0);
    siginfo_t si;
    while (waitid(P_PIDFD, static_cast<id_t>(pidfd), &si, WEXITED) < 0 && errno == EINTR) {
    }
    close(pidfd);
    // The TAP device went with the process's descriptor, and with it its bridge port.
    if (run_program({kIp, "link", "set", port, "master", "br0"}, err) != 0)
        return false;
    return true;
}
