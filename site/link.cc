#include "link.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr const char *kTc = "/usr/sbin/tc";

// The tc arguments that give dev the shape; empty for none.
std::vector<std::string> qdisc(const std::string &dev, const LinkShape &s) {
    if (s.delay_ms > 0) {
        std::vector<std::string> a = {kTc,     "qdisc", "replace",
                                      "dev",   dev,     "root",
                                      "netem", "delay", std::to_string(s.delay_ms) + "ms",
                                      "limit", "100000"};
        if (!s.rate.empty()) {
            a.push_back("rate");
            a.push_back(s.rate);
        }
        return a;
    }
    if (s.rate.empty())
        return {};
    // A bucket of 64 KiB lets a fast sender fill the line without bursts that would
    // make the rate look higher than it is over a second.
    return {kTc,    "qdisc", "replace", "dev",  dev,       "root", "tbf",
            "rate", s.rate,  "burst",   "64kb", "latency", "200ms"};
}

bool apply(const std::string &dev, const LinkShape &s, std::string *err) {
    std::vector<std::string> a = qdisc(dev, s);
    if (a.empty()) {
        // A link without a shape says so, which is fine.
        std::string ignored;
        run_program({kTc, "qdisc", "del", "dev", dev, "root"}, &ignored);
        return true;
    }
    // Replaced in one step, so that a shape refused leaves the one before in place.
    if (run_program(a, err) == 0)
        return true;
    if (s.delay_ms > 0 && err->find("qdisc kind is unknown") != std::string::npos)
        *err = "this kernel has no netem queueing discipline: a delay cannot be set";
    return false;
}

} // namespace

bool shape_link(const HostProc &host, std::size_t i, const LinkShape &shape, std::string *err) {
    if (!apply(port_name(i), shape, err))
        return false;
    // The host's side, from inside the host's network namespace.
    int pipefd[2];
    if (pipe2(pipefd, O_CLOEXEC) < 0) {
        *err = std::string("cannot create a pipe (") + std::strerror(errno) + ")";
        return false;
    }
    pid_t pid = fork();
    if (pid == 0) {
        close(pipefd[0]);
        std::string e;
        bool ok = setns(host.pidfd, CLONE_NEWNET) == 0;
        if (!ok)
            e = std::string("cannot enter the network of ") + host.host + " (" +
                std::strerror(errno) + ")";
        ok = ok && apply("eth0", shape, &e);
        if (!ok && write(pipefd[1], e.data(), e.size()) < 0) {
            // The daemon reads the reason; without it there is only the status.
        }
        _exit(ok ? 0 : 1);
    }
    close(pipefd[1]);
    std::string msg;
    char buf[512];
    ssize_t k;
    while ((k = read(pipefd[0], buf, sizeof buf)) > 0 || (k < 0 && errno == EINTR))
        if (k > 0)
            msg.append(buf, static_cast<std::size_t>(k));
    close(pipefd[0]);
    int st = 1;
    if (pid > 0)
        while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
        }
    if (pid > 0 && WIFEXITED(st) && WEXITSTATUS(st) == 0)
        return true;
    *err = msg.empty() ? "cannot shape the link inside " + host.host : msg;
    return false;
}
