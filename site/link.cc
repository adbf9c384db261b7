#include "link.h"

#include "delayline.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

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

// Set once a netem qdisc was refused: from then on delays go through delay lines.
bool no_netem = false;

// The delay lines running, by host index; -1 for none.
std::vector<int> lines;

bool apply(const std::string &dev, const LinkShape &s, std::string *err) {
    std::vector<std::string> a = qdisc(dev, s);
    if (a.empty()) {
        // A link without a shape says so, which is fine.
        std::string ignored;
        run_program({kTc, "qdisc", "del", "dev", dev, "root"}, &ignored);
        return true;
    }
    // Replaced in one step, so that a shape refused leaves the one before in place.
    return run_program(a, err) == 0;
}

// Sets shape on the host's side of its link, eth0, from inside the host's network
// namespace.
bool apply_inside(const HostProc &host, const LinkShape &shape, std::string *err) {
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

// Ends the delay line of hosts[i], if one runs.
bool stop_line(std::size_t i, std::string *err) {
    if (i >= lines.size() || lines[i] < 0)
        return true;
    int pidfd = lines[i];
    lines[i] = -1;
    return stop_delay_line(port_name(i), pidfd, err);
}

} // namespace

bool shape_link(const HostProc &host, std::size_t i, const LinkShape &shape, std::string *err) {
    // Without netem the qdiscs keep the rate only and a delay line adds the delay.
    LinkShape q = shape;
    if (no_netem)
        q.delay_ms = 0;
    if (!apply(port_name(i), q, err)) {
        if (q.delay_ms == 0 || err->find("qdisc kind is unknown") == std::string::npos)
            return false;
        no_netem = true;
        q.delay_ms = 0;
        if (!apply(port_name(i), q, err))
            return false;
    }
    if (!apply_inside(host, q, err) || !stop_line(i, err))
        return false;
    if (q.delay_ms == shape.delay_ms)
        return true;
    int pidfd = start_delay_line(port_name(i), shape.delay_ms, err);
    if (pidfd < 0)
        return false;
    if (lines.size() <= i)
        lines.resize(i + 1, -1);
    lines[i] = pidfd;
    return true;
}

void end_links() {
    std::string ignored;
    for (std::size_t i = 0; i < lines.size(); i++)
        stop_line(i, &ignored);
}
