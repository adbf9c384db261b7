// Drives one agent through one transfer over pipes, as the station would, for the
// transfer benchmark:
//   agent_drive put AGENT FILE DIR NAME CHECKSUM   operation 1: FILE goes to DIR/NAME
//   agent_drive get AGENT DIR NAME OUT             operation 5: DIR/NAME comes to OUT
// CHECKSUM is the file's cksum value, worked out beforehand so that the driver does
// no more work than cat does. Prints "status S checksum C maxrss_kib K": the final
// status, the checksum the agent sent (get) or 0 (put), and the agent's peak resident
// memory. Exits 0 when the final status is 0, 1 otherwise, 2 on a usage or system error.
//
// When run as root the agent runs as nobody (65534): it must not create the site's
// log directory on the machine the benchmark runs on, and as nobody it cannot.
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <string_view>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr std::size_t CHUNK = 128 * 1024; // as cat moves its data
alignas(64) std::array<unsigned char, CHUNK> buf;

[[noreturn]] void die(const char *what) {
    std::fprintf(stderr, "agent_drive: %s: %s\n", what, std::strerror(errno));
    std::exit(2);
}

[[noreturn]] void die_proto(const char *what) {
    std::fprintf(stderr, "agent_drive: %s\n", what);
    std::exit(2);
}

void write_all(int fd, const void *p, std::size_t n) {
    auto *c = static_cast<const unsigned char *>(p);
    while (n > 0) {
        ssize_t k = write(fd, c, n);
        if (k < 0 && errno == EINTR)
            continue;
        if (k <= 0)
            die("write");
        c += k;
        n -= static_cast<std::size_t>(k);
    }
}

void read_all(int fd, void *p, std::size_t n) {
    auto *c = static_cast<unsigned char *>(p);
    while (n > 0) {
        ssize_t k = read(fd, c, n);
        if (k < 0 && errno == EINTR)
            continue;
        if (k < 0)
            die("read");
        if (k == 0)
            die_proto("the agent closed its output early");
        c += k;
        n -= static_cast<std::size_t>(k);
    }
}

void put_be32(unsigned char *p, std::uint32_t v) {
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

std::uint32_t get_be32(const unsigned char *p) {
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 |
           std::uint32_t(p[3]);
}

// Request 1 of the operation with the directory and name as counted strings.
void send_request(int fd, int op, std::string_view dir, std::string_view name) {
    std::array<unsigned char, 256> f{};
    std::size_t n = 0;
    f[n++] = 'A';
    put_be32(&f[n], 1);
    n += 4;
    f[n++] = 0;
    f[n++] = static_cast<unsigned char>(op);
    for (std::string_view s : {dir, name}) {
        if (s.size() > 100)
            die_proto("directory or name too long");
        put_be32(&f[n], static_cast<std::uint32_t>(s.size()));
        n += 4;
        std::memcpy(&f[n], s.data(), s.size());
        n += s.size();
    }
    write_all(fd, f.data(), n);
}

// Reads a response to request 1 and returns its status.
int read_response(int fd) {
    std::array<unsigned char, 7> r{};
    read_all(fd, r.data(), r.size());
    if (r[0] != 'R' || get_be32(&r[1]) != 1)
        die_proto("not a response to request 1");
    return static_cast<std::int16_t>(r[5] << 8 | r[6]);
}

struct Agent {
    pid_t pid = -1;
    int in = -1;  // its standard input
    int out = -1; // its standard output
};

Agent start(const char *path) {
    int pin[2], pout[2];
    if (pipe2(pin, O_CLOEXEC) < 0 || pipe2(pout, O_CLOEXEC) < 0)
        die("pipe");
    Agent a;
    a.pid = fork();
    if (a.pid < 0)
        die("fork");
    if (a.pid == 0) {
        dup2(pin[0], 0);
        dup2(pout[1], 1);
        int devnull = open("/dev/null", O_WRONLY);
        if (devnull >= 0)
            dup2(devnull, 2);
        if (geteuid() == 0 && (setgroups(0, nullptr) < 0 || setgid(65534) < 0 || setuid(65534) < 0))
            _exit(127);
        execl(path, path, static_cast<char *>(nullptr));
        _exit(127);
    }
    close(pin[0]);
    close(pout[1]);
    a.in = pin[1];
    a.out = pout[0];
    return a;
}

// Ends the agent by closing its input, as the station does, and returns its peak
// resident memory in KiB.
long finish(Agent &a) {
    close(a.in);
    close(a.out);
    int status = 0;
    rusage ru{};
    while (wait4(a.pid, &status, 0, &ru) < 0)
        if (errno != EINTR)
            die("wait4");
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        std::fprintf(stderr, "agent_drive: the agent ended with status 0x%x\n", status);
    return ru.ru_maxrss;
}

int put(const char *agent, const char *file, const char *dir, const char *name, const char *sum) {
    int fd = open(file, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        die(file);
    off_t size = lseek(fd, 0, SEEK_END);
    if (size < 0 || size > INT32_MAX || lseek(fd, 0, SEEK_SET) < 0)
        die_proto("the file's length does not fit the wire");
    Agent a = start(agent);
    send_request(a.in, 1, dir, name);
    int st = read_response(a.out);
    if (st == 1) {
        std::array<unsigned char, 4> w{};
        put_be32(w.data(), static_cast<std::uint32_t>(size));
        write_all(a.in, w.data(), 4);
        for (off_t left = size; left > 0;) {
            ssize_t k = read(fd, buf.data(), buf.size());
            if (k < 0 && errno == EINTR)
                continue;
            if (k <= 0)
                die(file);
            write_all(a.in, buf.data(), static_cast<std::size_t>(k));
            left -= k;
        }
        put_be32(w.data(), static_cast<std::uint32_t>(std::strtoul(sum, nullptr, 10)));
        write_all(a.in, w.data(), 4);
        st = read_response(a.out);
    }
    close(fd);
    long rss = finish(a);
    std::printf("status %d checksum 0 maxrss_kib %ld\n", st, rss);
    return st == 0 ? 0 : 1;
}

int get(const char *agent, const char *dir, const char *name, const char *outpath) {
    int fd = open(outpath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        die(outpath);
    Agent a = start(agent);
    send_request(a.in, 5, dir, name);
    int st = read_response(a.out);
    std::uint32_t sum = 0;
    if (st == 1) {
        std::array<unsigned char, 4> w{};
        read_all(a.out, w.data(), 4);
        auto len = static_cast<std::int32_t>(get_be32(w.data()));
        for (std::int64_t left = len > 0 ? len : 0; left > 0;) {
            std::size_t want =
                left < static_cast<std::int64_t>(CHUNK) ? static_cast<std::size_t>(left) : CHUNK;
            ssize_t k = read(a.out, buf.data(), want);
            if (k < 0 && errno == EINTR)
                continue;
            if (k < 0)
                die("read");
            if (k == 0)
                die_proto("the agent closed its output inside the data");
            write_all(fd, buf.data(), static_cast<std::size_t>(k));
            left -= k;
        }
        read_all(a.out, w.data(), 4);
        sum = get_be32(w.data());
        st = read_response(a.out);
    }
    if (close(fd) < 0)
        die(outpath);
    long rss = finish(a);
    std::printf("status %d checksum %u maxrss_kib %ld\n", st, sum, rss);
    return st == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char **argv) {
    signal(SIGPIPE, SIG_IGN);
    std::string_view mode = argc > 1 ? argv[1] : "";
    if (mode == "put" && argc == 7)
        return put(argv[2], argv[3], argv[4], argv[5], argv[6]);
    if (mode == "get" && argc == 6)
        return get(argv[2], argv[3], argv[4], argv[5]);
    std::fprintf(stderr, "usage: agent_drive put AGENT FILE DIR NAME CHECKSUM\n"
                         "       agent_drive get AGENT DIR NAME OUT\n");
    return 2;
}
