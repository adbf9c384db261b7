#include "serve.h"

#include "link.h"
#include "message.h"
#include "names.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sched.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

// How long a command whose client went away may take to end after SIGTERM.
constexpr long long kGraceMs = 1000;

// One client connection: waiting for its request (pid 0), or the command it runs.
struct Session {
    int fd = -1;           // the client's socket; -1 once the client is gone
    pid_t pid = 0;         // the command; 0 before the request came
    long long kill_at = 0; // when SIGKILL is due (0: the command was not told to end)
    bool killed = false;   // SIGKILL was sent
};

long long now_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

void reply(int fd, char tag, const std::string &text) {
    std::string m(1, tag);
    m += text;
    send_message(fd, m, nullptr, 0);
}

// The command runs in a session of its own, so that it and whatever it starts can be
// ended together through its process group.
void signal_command(pid_t pid, int sig) {
    kill(-pid, sig);
    kill(pid, sig);
}

std::vector<std::string> merged_env(const SiteConfig &cfg, const Request &r) {
    std::vector<std::string> out;
    auto name_of = [](const std::string &kv) { return kv.substr(0, kv.find('=')); };
    for (auto &kv : host_env(cfg, r.host)) {
        std::string n = name_of(kv);
        bool drop = std::find(r.unset.begin(), r.unset.end(), n) != r.unset.end();
        for (auto &e : r.env)
            drop = drop || name_of(e) == n;
        if (!drop)
            out.push_back(kv);
    }
    for (auto &e : r.env)
        out.push_back(e);
    return out;
}

[[noreturn]] void child_fail(const char *what, const std::string &path, int err, int code) {
    dprintf(2, "simsite: %s %s: %s\n", what, path.c_str(), std::strerror(err));
    _exit(code);
}

// In the forked child: enter the host's view and run the command on the client's
// descriptors.
[[noreturn]] void exec_in_view(const SiteConfig &cfg, const Request &r, const int *fds,
                               const HostProc *h) {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGPIPE, SIG_DFL);
    for (int i = 0; i < 3; i++)
        if (dup2(fds[i], i) < 0)
            _exit(126);
    setsid();
    if (h) {
        // A networked host has namespaces of its own, its name among them.
        if (!enter_host(*h))
            child_fail("cannot enter the namespaces of", r.host, errno, 126);
    } else if (unshare(CLONE_NEWUTS) == 0) {
        // The host's own name for hostname(1) and gethostname(); a failure only loses that.
        sethostname(r.host.c_str(), r.host.size());
    }
    std::string root = host_root(r.host);
    if (chroot(root.c_str()) < 0)
        child_fail("cannot enter", root, errno, 126);
    std::string cwd = r.cwd.empty() ? "/" : r.cwd;
    if (chdir(cwd.c_str()) < 0)
        child_fail("cannot change to", cwd, errno, 126);
    std::vector<std::string> env = merged_env(cfg, r);
    std::vector<char *> ev, av;
    for (auto &e : env)
        ev.push_back(e.data());
    ev.push_back(nullptr);
    std::string arg0 = r.argv0.empty() ? r.args[0] : r.argv0;
    av.push_back(arg0.data());
    for (std::size_t i = 1; i < r.args.size(); i++)
        av.push_back(const_cast<char *>(r.args[i].c_str()));
    av.push_back(nullptr);
    // execvp looks the command up in the process's own PATH: make it the host's.
    environ = ev.data();
    execvp(r.args[0].c_str(), av.data());
    int e = errno;
    child_fail("cannot run", r.args[0], e, e == ENOENT ? 127 : 126);
}

std::string status_text(const SiteConfig &cfg) {
    std::string t = "site " + cfg.name + "\n";
    for (auto &h : cfg.hosts)
        t += "host " + h + "\n";
    return t;
}

// A "link" request: args "clear", or "shape", the rate ("-" for none) and the delay in
// milliseconds. Replies itself on success; returns the error otherwise.
std::string link_request(const SiteConfig &cfg, const std::vector<HostProc> &hosts,
                         const Request &r, int fd) {
    if (!cfg.net)
        return "site " + cfg.name + " has no network (it was not brought up with --net)";
    std::size_t i = 0;
    while (i < hosts.size() && hosts[i].host != r.host)
        i++;
    if (i == hosts.size())
        return r.host + ": unknown host";
    LinkShape shape;
    if (r.args.size() == 3 && r.args[0] == "shape") {
        shape.rate = r.args[1] == "-" ? "" : r.args[1];
        shape.delay_ms = atoi(r.args[2].c_str());
    } else if (r.args.size() != 1 || r.args[0] != "clear")
        return "malformed link request";
    std::string err;
    if (!shape_link(hosts[i], i, shape, &err))
        return err;
    reply(fd, kReplyOutput, "");
    return "";
}

// Handles the request that arrived on s. Returns false when the site is to go down.
bool handle_request(const SiteConfig &cfg, const std::vector<HostProc> &hosts, Session &s) {
    char buf[kMaxMessage];
    int fds[3], nfds = 0;
    long n = recv_message(s.fd, buf, sizeof buf, fds, 3, &nfds);
    if (n == -1 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return true;
    Request r;
    bool ok = n > 0 && decode_request(buf, static_cast<std::size_t>(n), &r);
    auto close_fds = [&] {
        for (int i = 0; i < nfds; i++)
            close(fds[i]);
    };
    if (!ok) {
        if (n != 0)
            reply(s.fd, kReplyError, "malformed request");
        close_fds();
        close(s.fd);
        s.fd = -1;
        return true;
    }
    if (r.cmd == "down") {
        close_fds();
        reply(s.fd, kReplyOutput, "down\n");
        return false;
    }
    std::string error;
    if (r.cmd == "status")
        reply(s.fd, kReplyOutput, status_text(cfg));
    else if (r.cmd == "link")
        error = link_request(cfg, hosts, r, s.fd);
    else if (r.cmd != "exec")
        error = "unknown request " + r.cmd;
    else if (std::find(cfg.hosts.begin(), cfg.hosts.end(), r.host) == cfg.hosts.end())
        error = r.host + ": unknown host";
    else if (r.args.empty())
        error = "no command given";
    else if (nfds != 3)
        error = "the request lacks the standard descriptors";
    else {
        const HostProc *h = nullptr;
        for (auto &hp : hosts)
            if (hp.host == r.host)
                h = &hp;
        pid_t pid = fork();
        if (pid == 0)
            exec_in_view(cfg, r, fds, h);
        if (pid < 0)
            error = std::string("cannot create a process (") + std::strerror(errno) + ")";
        else
            s.pid = pid;
    }
    close_fds();
    if (!error.empty())
        reply(s.fd, kReplyError, error);
    if (s.pid == 0) {
        close(s.fd);
        s.fd = -1;
    }
    return true;
}

void reap(std::vector<Session> &sessions) {
    for (;;) {
        int st;
        pid_t pid = waitpid(-1, &st, WNOHANG);
        if (pid <= 0)
            return;
        // As the process namespace's first process the daemon also inherits orphans of
        // the commands; those have no session and are only reaped.
        for (auto &s : sessions) {
            if (s.pid != pid)
                continue;
            int code = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            if (s.fd >= 0) {
                reply(s.fd, kReplyStatus, std::to_string(code));
                close(s.fd);
            }
            s.fd = -1;
            s.pid = 0;
        }
    }
}

} // namespace

int serve(const SiteConfig &cfg, int listen_fd, int owner_fd, const std::vector<HostProc> &hosts) {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : {SIGCHLD, SIGTERM, SIGINT, SIGHUP})
        sigaddset(&set, sig);
    int sfd = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    std::vector<Session> sessions;
    std::vector<pollfd> p;
    for (;;) {
        sessions.erase(std::remove_if(sessions.begin(), sessions.end(),
                                      [](const Session &s) { return s.fd < 0 && s.pid == 0; }),
                       sessions.end());
        p.clear();
        p.push_back({listen_fd, POLLIN, 0});
        p.push_back({sfd, POLLIN, 0});
        p.push_back({owner_fd, POLLIN, 0});
        long long due = -1;
        for (auto &s : sessions) {
            p.push_back({s.fd, POLLIN, 0});
            if (s.kill_at && !s.killed && (due < 0 || s.kill_at < due))
                due = s.kill_at;
        }
        int timeout = due < 0 ? -1 : static_cast<int>(std::max(0LL, due - now_ms()));
        int r = poll(p.data(), p.size(), timeout);
        if (r < 0 && errno != EINTR)
            return 1;
        if (r < 0)
            continue;
        if (p[1].revents) {
            signalfd_siginfo si;
            bool stop = false;
            while (read(sfd, &si, sizeof si) == sizeof si)
                stop = stop || si.ssi_signo != SIGCHLD;
            reap(sessions);
            if (stop)
                return 0;
        }
        if (p[2].revents)
            return 0;
        // Sessions first: the indexes of p follow the sessions as they were.
        std::size_t count = sessions.size();
        for (std::size_t i = 0; i < count; i++) {
            Session &s = sessions[i];
            if (!p[3 + i].revents || s.fd < 0)
                continue;
            if (s.pid == 0) {
                if (!handle_request(cfg, hosts, s))
                    return 0;
                continue;
            }
            // A client says nothing after its request: readable means it has gone.
            // Its command must not outlive it, as a remote command ends with its rsh.
            close(s.fd);
            s.fd = -1;
            signal_command(s.pid, SIGTERM);
            s.kill_at = now_ms() + kGraceMs;
        }
        long long now = now_ms();
        for (auto &s : sessions)
            if (s.pid && s.kill_at && !s.killed && now >= s.kill_at) {
                signal_command(s.pid, SIGKILL);
                s.killed = true;
            }
        if (p[0].revents) {
            for (;;) {
                int c = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
                if (c < 0)
                    break;
                Session s;
                s.fd = c;
                sessions.push_back(s);
            }
        }
    }
}
