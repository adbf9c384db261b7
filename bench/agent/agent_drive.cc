// Drives one agent through one transfer over pipes with the station's protocol client,
// for the transfer benchmark:
//   agent_drive put AGENT FILE DIR NAME   operation 1: FILE goes to DIR/NAME
//   agent_drive get AGENT DIR NAME OUT    operation 5: DIR/NAME comes to OUT
// Prints "status S checksum C maxrss_kib K": the agent's final status, the checksum it
// sent (get) or 0 (put), and the agent's peak resident memory. Exits 0 when the final
// status is 0, 1 otherwise, 2 on a usage or system error.
//
// When run as root the driver becomes nobody (65534) before it starts the agent: the
// agent must not create the site's log directory on the machine the benchmark runs on,
// and as nobody it cannot. Its log lines go to /dev/null.
#include "client.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <string>
#include <string_view>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

[[noreturn]] void die(const char *what) {
    std::fprintf(stderr, "agent_drive: %s: %s\n", what, std::strerror(errno));
    std::exit(2);
}

// Starts the agent with its standard error on /dev/null.
void start(station::Agent &a, const char *path) {
    std::vector<std::string> argv{path};
    int saved = dup(2);
    int devnull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (saved < 0 || devnull < 0 || dup2(devnull, 2) < 0)
        die("/dev/null");
    bool started = station::agent_start(a, argv);
    int e = errno;
    dup2(saved, 2);
    close(saved);
    close(devnull);
    errno = e;
    if (!started)
        die(argv[0].c_str());
}

// Ends the agent by closing its input, as the station does, and returns its peak
// resident memory in KiB.
long finish(station::Agent &a) {
    pid_t pid = a.pid;
    a.pid = -1; // reaped here, for its resource use
    station::agent_close(a);
    int status = 0;
    rusage ru{};
    while (wait4(pid, &status, 0, &ru) < 0)
        if (errno != EINTR)
            die("wait4");
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        std::fprintf(stderr, "agent_drive: the agent ended with status 0x%x\n", status);
    return ru.ru_maxrss;
}

int result(const station::Reply &r, std::uint32_t sum, long rss) {
    if (!r.answered())
        std::fprintf(stderr, "agent_drive: the exchange failed (client error %d)\n",
                     static_cast<int>(r.error()));
    std::printf("status %d checksum %u maxrss_kib %ld\n", code(r.status()), sum, rss);
    return r.ok() ? 0 : 1;
}

int put(const char *agent, const char *file, const char *dir, const char *name) {
    station::Agent a;
    start(a, agent);
    station::Reply r = station::put_path(a, dir, name, file);
    return result(r, 0, finish(a));
}

int get(const char *agent, const char *dir, const char *name, const char *outpath) {
    int fd = open(outpath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        die(outpath);
    station::Agent a;
    start(a, agent);
    station::FileInfo info;
    station::Reply r = station::get_fd(a, dir, name, fd, &info);
    if (close(fd) < 0)
        die(outpath);
    return result(r, info.checksum, finish(a));
}

} // namespace

int main(int argc, char **argv) {
    if (geteuid() == 0 && (setgroups(0, nullptr) < 0 || setgid(65534) < 0 || setuid(65534) < 0))
        die("cannot become nobody");
    std::string_view mode = argc > 1 ? argv[1] : "";
    if (mode == "put" && argc == 6)
        return put(argv[2], argv[3], argv[4], argv[5]);
    if (mode == "get" && argc == 6)
        return get(argv[2], argv[3], argv[4], argv[5]);
    std::fprintf(stderr, "usage: agent_drive put AGENT FILE DIR NAME\n"
                         "       agent_drive get AGENT DIR NAME OUT\n");
    return 2;
}
