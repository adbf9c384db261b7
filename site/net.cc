#include "net.h"

#include "names.h"
#include "ssh.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <unordered_map>

namespace {

constexpr const char *kIp = "/usr/sbin/ip";
constexpr const char *kSshd = "/usr/sbin/sshd";
// How long a host's sshd may take to listen: hundreds of them start at once.
constexpr int kSshdReadyMs = 60000;
constexpr const char *kNetmask = "255.255.0.0"; // the site's subnet, a /16

bool fail(std::string *err, const std::string &what, int e) {
    *err = what + " (" + std::strerror(e) + ")";
    return false;
}

long long now_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

void tell(int fd, const std::string &text) {
    if (write(fd, text.data(), text.size()) < 0) {
        // The daemon has gone; so will this host.
    }
}

// True once something takes TCP connections on port 22 of this namespace's loopback.
bool sshd_listens() {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(22);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    close(s);
    return ok;
}

// Starts a daemon of the host (argv[0] a path) in a session of its own, with the host's
// environment and no signal blocked. Returns its process id, or -1.
pid_t start_service(const SiteConfig &cfg, const std::string &host, std::vector<std::string> argv) {
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    setsid();
    std::vector<std::string> env = host_env(cfg, host);
    std::vector<char *> ev, av;
    for (auto &e : env)
        ev.push_back(e.data());
    ev.push_back(nullptr);
    for (auto &a : argv)
        av.push_back(a.data());
    av.push_back(nullptr);
    execve(av[0], av.data(), ev.data());
    _exit(127);
}

// Gives eth0 its address in the site's subnet and brings it and lo up, through the
// kernel's own interface calls: three runs of ip per host took most of the time a big
// site needs to come up.
bool configure_links(const std::string &address, std::string *err) {
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return fail(err, "cannot configure the network", errno);
    auto set_addr = [&](unsigned long request, const char *text) {
        ifreq r{};
        std::strncpy(r.ifr_name, "eth0", IFNAMSIZ - 1);
        auto *a = reinterpret_cast<sockaddr_in *>(&r.ifr_addr);
        a->sin_family = AF_INET;
        inet_pton(AF_INET, text, &a->sin_addr);
        return ioctl(s, request, &r) == 0;
    };
    auto up = [&](const char *dev) {
        ifreq r{};
        std::strncpy(r.ifr_name, dev, IFNAMSIZ - 1);
        if (ioctl(s, SIOCGIFFLAGS, &r) < 0)
            return false;
        r.ifr_flags = static_cast<short>(r.ifr_flags | IFF_UP);
        return ioctl(s, SIOCSIFFLAGS, &r) == 0;
    };
    bool ok = set_addr(SIOCSIFADDR, address.c_str()) && set_addr(SIOCSIFNETMASK, kNetmask) &&
              up("eth0") && up("lo");
    int e = errno;
    close(s);
    return ok || fail(err, "cannot configure eth0 as " + address, e);
}

// The first process of a host: configures eth0, gives the host its own /proc and /sys,
// enters the view, starts sshd, tells the daemon on ready, and then reaps the host's
// orphans for as long as the site lives.
[[noreturn]] void host_main(const SiteConfig &cfg, std::size_t i, int go, int ready) {
    const std::string &host = cfg.hosts[i];
    // The daemon's descriptors (its socket, the pipe to the starter, other hosts' pipes)
    // would keep their readers waiting for as long as this host lives: all go but the
    // two pipes of this host, however many the daemon holds.
    int keep = std::max(go, ready);
    for (int fd = 3; fd < keep; fd++)
        if (fd != go && fd != ready)
            close(fd);
    close_range(static_cast<unsigned>(keep) + 1, ~0U, 0);
    // Nor may the host hold the starter's output: whoever reads it would wait for the
    // site to end ("pid=$(simsite up ...)").
    int nul = open("/dev/null", O_RDWR);
    for (int fd = 0; fd < 3 && nul >= 0; fd++)
        dup2(nul, fd);
    if (nul > 2)
        close(nul);
    char byte;
    // The daemon closes go once eth0 is in this namespace; nothing read means it failed.
    if (read(go, &byte, 1) != 1)
        _exit(1);
    close(go);
    std::string err;
    sethostname(host.c_str(), host.size());
    if (!configure_links(host_address(i), &err)) {
        tell(ready, host + ": " + err);
        _exit(1);
    }
    std::string root = host_root(host);
    // A /proc of the host's own processes and a /sys showing its own network devices.
    if (mount("proc", (root + "/proc").c_str(), "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) <
            0 ||
        mount("sysfs", (root + "/sys").c_str(), "sysfs", MS_NOSUID | MS_NODEV | MS_NOEXEC,
              nullptr) < 0) {
        tell(ready, host + ": cannot mount /proc and /sys (" + std::strerror(errno) + ")");
        _exit(1);
    }
    if (chroot(root.c_str()) < 0 || chdir("/") < 0) {
        tell(ready, host + ": cannot enter " + root + " (" + std::strerror(errno) + ")");
        _exit(1);
    }
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGCHLD);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    pid_t sshd = start_service(cfg, host, {kSshd, "-D", "-E", kSshdLog, "-f", kSshdConfig});
    if (sshd < 0) {
        tell(ready, host + ": cannot start sshd (" + std::strerror(errno) + ")");
        _exit(1);
    }
    long long until = now_ms() + kSshdReadyMs;
    for (;;) {
        int st;
        if (waitpid(sshd, &st, WNOHANG) == sshd) {
            tell(ready, host + ": sshd ended at once (see " + kSshdLog + " of the view)");
            _exit(1);
        }
        // sshd writes its pid file once it listens: looking for the file costs far less
        // than a connection, with hundreds of hosts asking at once.
        struct stat st_pid;
        if (stat(kSshdPidFile, &st_pid) == 0 && sshd_listens())
            break;
        if (now_ms() > until) {
            tell(ready, host + ": sshd does not listen on port 22");
            _exit(1);
        }
        usleep(5000);
    }
    // The stand-in's query port, for health checks from the other hosts.
    if (access(kQuerydPath, X_OK) == 0)
        start_service(cfg, host,
                      {kQuerydPath, kQueryPort, std::string(kAudiumScripts) + "/query.sh"});
    tell(ready, "ok");
    close(ready);
    for (;;) {
        siginfo_t si;
        sigwaitinfo(&set, &si);
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
    }
}

} // namespace

std::string host_address(std::size_t i) {
    // The first 254 hosts keep the addresses of a /24; those after them go on into the
    // /16, skipping the addresses that end in 0 or 255.
    std::size_t n = i % 254 + 1, net = i / 254;
    return std::string(kSubnet) + "." + std::to_string(net) + "." + std::to_string(n);
}

std::string port_name(std::size_t i) {
    char name[24];
    snprintf(name, sizeof name, "p%zu", i);
    return name;
}

namespace {

// Starts argv (argv[0] a path) with nothing on its standard input and output and its
// standard error on err_fd. Returns its process id, or -1 when no process was made.
pid_t start_program(const std::vector<std::string> &argv, int err_fd) {
    std::vector<char *> av;
    for (auto &a : argv)
        av.push_back(const_cast<char *>(a.c_str()));
    av.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        int nul = open("/dev/null", O_RDWR);
        dup2(nul, 0);
        dup2(nul, 1);
        dup2(err_fd, 2);
        execv(av[0], av.data());
        dprintf(2, "cannot run it (%s)", std::strerror(errno));
        _exit(127);
    }
    return pid;
}

// "WHO: what the program said on one line", or "WHO: failed" when it said nothing.
std::string failure_text(const std::string &who, std::string said) {
    while (!said.empty() && (said.back() == '\n' || said.back() == ' '))
        said.pop_back();
    for (auto &c : said)
        if (c == '\n')
            c = ' ';
    return who + ": " + (said.empty() ? "failed" : said);
}

} // namespace

int run_program(const std::vector<std::string> &argv, std::string *err) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) < 0) {
        fail(err, "cannot create a pipe", errno);
        return 1;
    }
    pid_t pid = start_program(argv, out[1]);
    close(out[1]);
    std::string said;
    char buf[512];
    ssize_t k;
    while ((k = read(out[0], buf, sizeof buf)) > 0 || (k < 0 && errno == EINTR))
        if (k > 0 && said.size() < 4096)
            said.append(buf, static_cast<std::size_t>(k));
    close(out[0]);
    if (pid < 0) {
        fail(err, "cannot create a process for " + argv[0], errno);
        return 1;
    }
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(st) && WEXITSTATUS(st) == 0)
        return 0;
    std::string who = argv[0];
    for (std::size_t j = 1; j < argv.size() && j < 8; j++)
        who += " " + argv[j];
    *err = failure_text(who, said);
    return 1;
}

int run_programs(const std::vector<std::vector<std::string>> &argvs, std::size_t width,
                 std::string *err) {
    struct Running {
        std::size_t k; // the index into argvs
        int said;      // our end of its standard error: a few words fit the pipe
    };
    std::unordered_map<pid_t, Running> running;
    std::size_t next = 0;
    bool ok = true;
    while ((next < argvs.size() && ok) || !running.empty()) {
        while (next < argvs.size() && ok && running.size() < width) {
            const auto &argv = argvs[next++];
            int said[2];
            if (pipe2(said, O_CLOEXEC) < 0) {
                ok = fail(err, "cannot create a pipe", errno);
                break;
            }
            pid_t pid = start_program(argv, said[1]);
            close(said[1]);
            if (pid < 0) {
                close(said[0]);
                ok = fail(err, "cannot create a process for " + argv[0], errno);
                break;
            }
            running[pid] = {next - 1, said[0]};
        }
        if (running.empty())
            continue;
        int st = 0;
        pid_t pid = waitpid(-1, &st, 0);
        if (pid < 0 && errno == EINTR)
            continue;
        if (pid < 0)
            break;
        auto at = running.find(pid);
        if (at == running.end())
            continue;
        auto [k, fd] = at->second;
        running.erase(at);
        char buf[512];
        ssize_t n = read(fd, buf, sizeof buf - 1);
        close(fd);
        if ((WIFEXITED(st) && WEXITSTATUS(st) == 0) || !ok)
            continue;
        *err = failure_text(argvs[k][0], std::string(buf, n > 0 ? static_cast<std::size_t>(n) : 0));
        ok = false;
    }
    return ok ? 0 : 1;
}

bool enter_switch(std::string *err) {
    if (unshare(CLONE_NEWNET) < 0)
        return fail(err, "cannot create the site's network", errno);
    if (access(kIp, X_OK) != 0)
        return fail(err, std::string("cannot run ") + kIp + " (install iproute2)", errno);
    if (access(kSshd, X_OK) != 0)
        return fail(err, std::string("cannot run ") + kSshd + " (install openssh-server)", errno);
    return run_program({kIp, "link", "add", "br0", "type", "bridge"}, err) == 0 &&
           run_program({kIp, "link", "set", "br0", "up"}, err) == 0;
}

bool start_hosts(const SiteConfig &cfg, std::vector<HostProc> *hosts, std::string *err) {
    std::vector<int> go, ready;
    // Every host's link to the bridge is made by one run of ip once all hosts exist:
    // two runs per host took seconds on a site of hundreds.
    std::string links;
    for (std::size_t i = 0; i < cfg.hosts.size(); i++) {
        int g[2], r[2];
        if (pipe2(g, O_CLOEXEC) < 0)
            return fail(err, "cannot create a pipe", errno);
        if (pipe2(r, O_CLOEXEC) < 0)
            return fail(err, "cannot create a pipe", errno);
        pid_t pid = static_cast<pid_t>(syscall(SYS_clone,
                                               CLONE_NEWNET | CLONE_NEWUTS | CLONE_NEWIPC |
                                                   CLONE_NEWNS | CLONE_NEWPID | SIGCHLD,
                                               nullptr, nullptr, nullptr, 0));
        if (pid == 0) {
            close(g[1]);
            close(r[0]);
            host_main(cfg, i, g[0], r[1]);
        }
        close(g[0]);
        close(r[1]);
        go.push_back(g[1]);
        ready.push_back(r[0]);
        if (pid < 0)
            return fail(err, "cannot create the namespaces of " + cfg.hosts[i], errno);
        HostProc h;
        h.host = cfg.hosts[i];
        h.pid = pid;
        h.pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
        if (h.pidfd < 0)
            return fail(err, "cannot hold host " + h.host, errno);
        fcntl(h.pidfd, F_SETFD, FD_CLOEXEC);
        hosts->push_back(h);
        // The host's eth0 is made straight inside the host's namespace.
        std::string port = port_name(i);
        links += "link add " + port + " type veth peer name eth0 netns " + std::to_string(pid) +
                 "\nlink set " + port + " master br0 up\n";
    }
    std::string batch = std::string(kSiteDir) + "/links";
    int fd = open(batch.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return fail(err, "cannot create " + batch, errno);
    bool written = write(fd, links.data(), links.size()) == static_cast<ssize_t>(links.size());
    close(fd);
    if (!written)
        return fail(err, "cannot write " + batch, errno);
    if (run_program({kIp, "-batch", batch}, err))
        return false;
    unlink(batch.c_str());
    for (int g : go) {
        tell(g, "g");
        close(g);
    }
    bool ok = true;
    for (std::size_t i = 0; i < ready.size(); i++) {
        std::string msg;
        char buf[512];
        ssize_t k;
        while ((k = read(ready[i], buf, sizeof buf)) > 0 || (k < 0 && errno == EINTR))
            if (k > 0)
                msg.append(buf, static_cast<std::size_t>(k));
        close(ready[i]);
        if (msg != "ok" && ok) {
            *err = msg.empty() ? cfg.hosts[i] + ": the host failed to start" : msg;
            ok = false;
        }
    }
    return ok;
}

bool enter_host(const HostProc &h) {
    if (setns(h.pidfd, CLONE_NEWNET | CLONE_NEWUTS | CLONE_NEWIPC | CLONE_NEWNS | CLONE_NEWPID) < 0)
        return false;
    pid_t pid = fork();
    if (pid == 0)
        return true;
    if (pid < 0)
        return false;
    // Ended with the command: the daemon's SIGTERM and SIGKILL reach the whole process
    // group, and this process stays to pass on the command's status.
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        signal(sig, SIG_IGN);
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    if (WIFSIGNALED(st))
        _exit(128 + WTERMSIG(st));
    _exit(WEXITSTATUS(st));
}
