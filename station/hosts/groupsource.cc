#include "groupsource.h"

#include "fdio.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

namespace {

constexpr std::size_t MAX_OUTPUT = 1 << 20; // a source's list, as a host file at most

struct Answer {
    bool ok = false;
    std::string out, why;
};

// The last line of text that holds more than blanks, cut to fit a message.
std::string last_line(const std::string &text) {
    std::size_t end = text.find_last_not_of(" \t\r\n");
    if (end == std::string::npos)
        return "";
    std::size_t start = text.rfind('\n', end);
    start = start == std::string::npos ? 0 : start + 1;
    std::string line = text.substr(start, end + 1 - start);
    return line.size() > 100 ? line.substr(0, 100) + "..." : line;
}

std::string with_group(const std::string &command, const std::string &group) {
    std::string out;
    const std::string mark = "{group}";
    std::size_t at = 0;
    for (std::size_t p; (p = command.find(mark, at)) != std::string::npos; at = p + mark.size())
        out += command.substr(at, p - at) + shell_quote(group);
    return out + command.substr(at);
}

Answer ask(const std::string &command, const std::string &dir, const std::string &group) {
    Answer a;
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) < 0) {
        a.why = std::string("cannot create a pipe (") + strerror(errno) + ")";
        return a;
    }
    if (pipe2(err, O_CLOEXEC) < 0) {
        a.why = std::string("cannot create a pipe (") + strerror(errno) + ")";
        close(out[0]);
        close(out[1]);
        return a;
    }
    std::string line = with_group(command, group);
    pid_t pid = fork();
    if (pid == 0) {
        // A group of its own, so that whatever it starts ends with it at the time limit.
        setpgid(0, 0);
        int null = open("/dev/null", O_RDONLY);
        if (null >= 0)
            dup2(null, 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        if (!dir.empty() && chdir(dir.c_str()) < 0) {
            dprintf(2, "cannot enter %s (%s)\n", dir.c_str(), strerror(errno));
            _exit(126);
        }
        execl("/bin/sh", "sh", "-c", line.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    if (pid < 0) {
        a.why = std::string("cannot be started (") + strerror(errno) + ")";
        close(out[0]);
        close(err[0]);
        return a;
    }
    setpgid(pid, pid);
    std::string text[2];
    int fds[2] = {out[0], err[0]};
    long long deadline = monotonic_ms() + SOURCE_SECONDS * 1000LL;
    bool late = false, big = false;
    while (fds[0] >= 0 || fds[1] >= 0) {
        long long left = deadline - monotonic_ms();
        if (left <= 0) {
            late = true;
            break;
        }
        pollfd p[2] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}};
        if (poll(p, 2, static_cast<int>(left)) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; i++) {
            if (fds[i] < 0 || p[i].revents == 0)
                continue;
            char buf[8192];
            ssize_t k = read(fds[i], buf, sizeof buf);
            if (k < 0 && errno == EINTR)
                continue;
            if (k <= 0) {
                close(fds[i]);
                fds[i] = -1;
                continue;
            }
            text[i].append(buf, static_cast<std::size_t>(k));
            if (text[i].size() > MAX_OUTPUT) {
                big = true;
                break;
            }
        }
        if (big)
            break;
    }
    for (int fd : fds)
        if (fd >= 0)
            close(fd);
    if (late || big)
        kill(-pid, SIGKILL);
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    std::string said = last_line(text[1]);
    if (late)
        a.why = "the command ran past " + std::to_string(SOURCE_SECONDS) + " seconds";
    else if (big)
        a.why = "the command printed more than 1 MiB";
    else if (WIFSIGNALED(st))
        a.why = "the command was killed by signal " + std::to_string(WTERMSIG(st));
    else if (WEXITSTATUS(st) != 0)
        a.why = "the command exited with status " + std::to_string(WEXITSTATUS(st));
    else if (text[0].find_first_not_of(" \t\r\n,") == std::string::npos)
        a.why = "the command printed no host";
    else
        a.ok = true;
    if (!a.ok && !said.empty() && !late)
        a.why += ": " + said;
    a.out = std::move(text[0]);
    return a;
}

} // namespace

std::string shell_quote(const std::string &text) {
    std::string q = "'";
    for (char c : text)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

bool source_ask(const std::string &source, const std::string &command, const std::string &dir,
                const std::string &group, std::string &out, std::string &why) {
    static std::map<std::pair<std::string, std::string>, Answer> asked;
    auto key = std::make_pair(source, group);
    auto it = asked.find(key);
    if (it == asked.end())
        it = asked.emplace(key, ask(command, dir, group)).first;
    out = it->second.out;
    why = it->second.why;
    return it->second.ok;
}
