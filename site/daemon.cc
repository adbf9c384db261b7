#include "daemon.h"

#include "link.h"
#include "message.h"
#include "names.h"
#include "net.h"
#include "serve.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

static int listen_site(const char *site, std::string *err) {
    std::string name = socket_name(site);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::memcpy(a.sun_path + 1, name.data(), name.size());
    socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    int s = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (s < 0 || bind(s, reinterpret_cast<sockaddr *>(&a), len) < 0 || listen(s, 128) < 0) {
        int e = errno;
        *err = e == EADDRINUSE ? std::string("site ") + site + " is already up"
                               : std::string("cannot listen (") + std::strerror(e) + ")";
        if (s >= 0)
            close(s);
        return -1;
    }
    return s;
}

static void tell(int fd, const std::string &text) {
    if (fd >= 0 && write(fd, text.data(), text.size()) < 0) {
        // The starter has gone; the site carries on or ends all the same.
    }
}

// The daemon: the first process of the site's process namespace, in the site's own
// mount namespace. ready is the pipe to the starter, told "ok" or the reason of failure.
static int daemon_main(const SiteConfig &cfg, int ready, int owner_fd) {
    if (!cfg.foreground)
        setsid();
    // Replies to clients that have gone must not end the site (sends use MSG_NOSIGNAL;
    // this covers the pipe to the starter).
    signal(SIGPIPE, SIG_IGN);
    sigset_t set;
    sigemptyset(&set);
    for (int sig : {SIGCHLD, SIGTERM, SIGINT, SIGHUP})
        sigaddset(&set, sig);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    umask(022);
    // A host holds three descriptors of the daemon while the site starts, and every
    // command in progress a few more: a site of hundreds outgrows the usual 1024.
    rlimit rl{};
    rlim_t want = 8 * cfg.hosts.size() + 1024;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < want) {
        rl.rlim_cur = rl.rlim_max == RLIM_INFINITY || rl.rlim_max > want ? want : rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
    if (chdir("/") < 0) {
        tell(ready, "cannot change to / (" + std::string(std::strerror(errno)) + ")");
        return 1;
    }
    std::string err;
    // The site's socket belongs to the network namespace it is made in: the machine's,
    // where the clients are, even when the daemon leaves it for the site's own network.
    int lfd = listen_site(cfg.name.c_str(), &err);
    if (lfd < 0) {
        tell(ready, err);
        return 1;
    }
    if (cfg.net && !enter_switch(&err)) {
        tell(ready, err);
        return 1;
    }
    if (!build_site(cfg, &err)) {
        tell(ready, err);
        return 1;
    }
    std::vector<HostProc> hosts;
    if (cfg.net && !start_hosts(cfg, &hosts, &err)) {
        tell(ready, err);
        return 1;
    }
    // Holding the starter's output open would keep whoever reads it waiting; in the
    // foreground standard error stays for the daemon's last words.
    int nul = open("/dev/null", O_RDWR | O_CLOEXEC);
    for (int fd = 0; fd < (cfg.foreground ? 2 : 3); fd++)
        dup2(nul, fd);
    close(nul);
    tell(ready, "ok");
    close(ready);
    int status = serve(cfg, lfd, owner_fd, hosts);
    end_links();
    return status;
}

int site_up(const SiteConfig &cfg) {
    int probe = connect_site(cfg.name.c_str());
    if (probe >= 0) {
        close(probe);
        fprintf(stderr, "simsite: site %s is already up\n", cfg.name.c_str());
        return 1;
    }
    int owner_fd = -1;
    if (cfg.owner > 0) {
        // Opened here: the daemon's process namespace does not see the owner's pid.
        owner_fd = static_cast<int>(syscall(SYS_pidfd_open, cfg.owner, 0));
        if (owner_fd < 0) {
            fprintf(stderr, "simsite: owner %d: %s\n", static_cast<int>(cfg.owner),
                    std::strerror(errno));
            return 1;
        }
    }
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) < 0) {
        fprintf(stderr, "simsite: cannot create a pipe (%s)\n", std::strerror(errno));
        return 1;
    }
    // The daemon is the first process of a new process namespace, so that when it ends
    // the kernel ends every process of the site with it; and it has a mount namespace of
    // its own. Created like fork, leaving this process's own namespaces as they are.
    pid_t pid = static_cast<pid_t>(
        syscall(SYS_clone, CLONE_NEWNS | CLONE_NEWPID | SIGCHLD, nullptr, nullptr, nullptr, 0));
    if (pid < 0) {
        fprintf(stderr, "simsite: cannot create the site's namespaces (%s)\n",
                std::strerror(errno));
        return 1;
    }
    if (pid == 0) {
        close(ready[0]);
        _exit(daemon_main(cfg, ready[1], owner_fd));
    }
    close(ready[1]);
    if (owner_fd >= 0)
        close(owner_fd);
    std::string msg;
    char buf[512];
    for (;;) {
        ssize_t k = read(ready[0], buf, sizeof buf);
        if (k < 0 && errno == EINTR)
            continue;
        if (k <= 0)
            break;
        msg.append(buf, static_cast<std::size_t>(k));
    }
    close(ready[0]);
    if (msg != "ok") {
        int st;
        waitpid(pid, &st, 0);
        fprintf(stderr, "simsite: %s\n", msg.empty() ? "the site daemon failed" : msg.c_str());
        return 1;
    }
    printf("%d\n", static_cast<int>(pid));
    fflush(stdout);
    if (!cfg.foreground)
        return 0;
    int st;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}
