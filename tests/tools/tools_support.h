// Helpers shared by the tests of the shell utilities (header only: every *_test.cc of
// this directory is a program of its own).
#pragma once

#include "proc.h"

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace toolstest {

// Runs the program at path with exactly the argument words args (args[0] is the
// invocation name; an empty vector starts it with no argument words at all), under a
// time limit of 10 seconds, with env entries added to the environment. Standard error
// is collected together with standard output, in out.
inline testproc::Result run_raw(const std::string &path, const std::vector<std::string> &args,
                                const std::vector<std::string> &env = {}) {
    testproc::Result res;
    int p[2];
    if (pipe2(p, O_CLOEXEC) < 0)
        return res;
    std::vector<std::string> envs;
    for (char **e = environ; *e; e++)
        envs.emplace_back(*e);
    for (auto &e : env)
        envs.push_back(e);
    std::vector<char *> av, ev;
    for (auto &a : args)
        av.push_back(const_cast<char *>(a.c_str()));
    av.push_back(nullptr);
    for (auto &e : envs)
        ev.push_back(e.data());
    ev.push_back(nullptr);
    pid_t pid = fork();
    if (pid < 0)
        return res;
    if (pid == 0) {
        int null = open("/dev/null", O_RDONLY);
        dup2(null, 0);
        dup2(p[1], 1);
        dup2(p[1], 2);
        signal(SIGPIPE, SIG_DFL);
        execve(path.c_str(), av.data(), ev.data());
        _exit(127);
    }
    close(p[1]);
    testproc::Child c;
    c.pid = pid;
    c.out = p[0];
    res.out = testproc::read_all(c.out, 10000);
    res.status = testproc::wait(c, 10000);
    res.timed_out = res.status == -1;
    testproc::reap(c);
    return res;
}

// True when the compiled time zone named exists, so zone tests can skip otherwise.
inline bool have_zone(const char *zone) {
    struct stat st;
    return stat((std::string("/usr/share/zoneinfo/") + zone).c_str(), &st) == 0;
}

// Path of GNU date, or "" when it is not installed.
inline std::string gnu_date() {
    for (const char *p : {"/usr/bin/date", "/bin/date"})
        if (access(p, X_OK) == 0)
            return p;
    return "";
}

} // namespace toolstest
