#include "site.h"

#include "files.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace testsite {

std::string simsite() {
    return testproc::bin("simsite");
}

static int up_timeout_ms = 60000; // hundreds of hosts start in seconds, on a busy machine in more

bool available(std::string *why) {
    static int known = -1; // -1 not tried yet, 0 no, 1 yes
    static std::string reason;
    if (known < 0) {
        known = 0;
        if (geteuid() != 0)
            reason = "needs root (private mount and process namespaces, overlays)";
        else if (access(simsite().c_str(), X_OK) != 0)
            reason = simsite() + " is not built";
        else {
            // One real site proves that namespaces and overlays are allowed here.
            Site probe;
            UpOptions o;
            o.agent = "/bin/true";
            if (probe.up({"probe"}, o))
                known = 1;
            else
                reason = probe.error();
            while (!reason.empty() && reason.back() == '\n')
                reason.pop_back();
        }
    }
    if (why)
        *why = reason;
    return known == 1;
}

bool net_available(std::string *why) {
    if (!available(why))
        return false;
    for (const char *p : {"/usr/sbin/sshd", "/usr/sbin/ip", "/usr/bin/ssh", "/usr/bin/ssh-keygen"})
        if (access(p, X_OK) != 0) {
            if (why)
                *why =
                    std::string(p) + " is not installed (openssh-server, openssh-client, iproute2)";
            return false;
        }
    return true;
}

bool Site::up(const std::vector<std::string> &hosts, const UpOptions &opt) {
    static int counter = 0;
    if (pid_)
        down();
    name_ = "t" + std::to_string(getpid()) + "-" + std::to_string(++counter);
    // In the foreground, so that the daemon stays a child of this process's own child
    // and is reaped by it, whatever this machine's init does with orphans.
    std::vector<std::string> argv = {simsite(), "up", "-f", "--owner", std::to_string(getpid())};
    if (opt.net)
        argv.push_back("--net");
    argv.push_back("--agent");
    argv.push_back(opt.agent.empty() ? testproc::bin("tarko_remote2") : opt.agent);
    if (!opt.audium.empty()) {
        argv.push_back("--audium");
        argv.push_back(opt.audium);
    }
    argv.push_back(name_);
    for (auto &h : hosts)
        argv.push_back(h);
    if (!testproc::spawn(starter_, argv)) {
        error_ = "cannot start " + simsite();
        return false;
    }
    testproc::close_input(starter_);
    // The starter prints the daemon's pid once the site is ready.
    std::string line;
    for (;;) {
        std::string ch = testproc::read_n(starter_.out, 1, up_timeout_ms);
        if (ch.empty() || ch == "\n")
            break;
        line += ch;
    }
    pid_ = static_cast<pid_t>(atoi(line.c_str()));
    if (pid_ <= 0) {
        int st = testproc::wait(starter_, 1000);
        error_ = "simsite up failed (status " + std::to_string(st) +
                 "): " + testproc::read_all(starter_.err, 1000);
        testproc::reap(starter_);
        pid_ = 0;
        return false;
    }
    // The outside roots of the views, as the site tells them.
    testproc::Options o;
    o.timeout_ms = up_timeout_ms;
    testproc::Result st = testproc::run({simsite(), "status", name_}, o);
    roots_.clear();
    std::size_t i = 0;
    while (i < st.out.size()) {
        std::size_t nl = st.out.find('\n', i);
        if (nl == std::string::npos)
            nl = st.out.size();
        std::string l = st.out.substr(i, nl - i);
        i = nl + 1;
        if (l.rfind("host ", 0) != 0)
            continue;
        std::size_t sp = l.find(' ', 5);
        if (sp != std::string::npos)
            roots_.emplace_back(l.substr(5, sp - 5), l.substr(sp + 1));
    }
    if (st.status != 0 || roots_.size() != hosts.size()) {
        error_ = "simsite status failed: " + st.err;
        down();
        return false;
    }
    return true;
}

bool Site::down() {
    if (!pid_)
        return false;
    testproc::Options o;
    o.timeout_ms = up_timeout_ms;
    testproc::Result r = testproc::run({simsite(), "down", name_}, o);
    int st = testproc::wait(starter_, up_timeout_ms);
    testproc::reap(starter_);
    pid_ = 0;
    roots_.clear();
    if (r.status != 0 || st != 0)
        error_ = "simsite down failed (status " + std::to_string(r.status) + ", daemon " +
                 std::to_string(st) + "): " + r.err;
    return r.status == 0 && st == 0;
}

std::vector<std::string> Site::exec_argv(const std::string &host,
                                         const std::vector<std::string> &argv,
                                         const testproc::Options &opt) const {
    std::vector<std::string> a = {simsite(), "exec", name_, host};
    for (auto &e : opt.env) {
        a.push_back("--env");
        a.push_back(e);
    }
    for (auto &u : opt.unset) {
        a.push_back("--unset");
        a.push_back(u);
    }
    if (opt.cwd) {
        a.push_back("--cwd");
        a.push_back(opt.cwd);
    }
    if (!opt.argv0.empty()) {
        a.push_back("--argv0");
        a.push_back(opt.argv0);
    }
    a.push_back("--");
    a.insert(a.end(), argv.begin(), argv.end());
    return a;
}

// The options of the simsite client itself: only input and time limit carry over; the
// rest was given to the command in the view.
static testproc::Options client_options(const testproc::Options &opt) {
    testproc::Options o;
    o.input = opt.input;
    o.timeout_ms = opt.timeout_ms;
    return o;
}

testproc::Result Site::exec(const std::string &host, const std::vector<std::string> &argv,
                            const testproc::Options &opt) {
    return testproc::run(exec_argv(host, argv, opt), client_options(opt));
}

bool Site::spawn(const std::string &host, const std::vector<std::string> &argv, testproc::Child &c,
                 const testproc::Options &opt) {
    return testproc::spawn(c, exec_argv(host, argv, opt), client_options(opt));
}

std::string Site::path(const std::string &host, const std::string &p) const {
    for (auto &r : roots_)
        if (r.first == host)
            return r.second + (p.empty() || p[0] != '/' ? "/" : "") + p;
    // An unknown host: a path that exists nowhere, so the test fails on it visibly.
    return "/nonexistent-simsite-host/" + host + p;
}

static bool make_parents(const std::string &file) {
    for (std::size_t i = 1; i < file.size(); i++)
        if (file[i] == '/' && mkdir(file.substr(0, i).c_str(), 0755) < 0 && errno != EEXIST)
            return false;
    return true;
}

bool Site::write_file(const std::string &host, const std::string &p, const std::string &data,
                      mode_t mode) const {
    std::string full = path(host, p);
    if (!make_parents(full))
        return false;
    unlink(full.c_str()); // a running program cannot be rewritten in place
    int fd = open(full.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0)
        return false;
    bool ok = testproc::write_all(fd, data) && fchmod(fd, mode) == 0;
    return close(fd) == 0 && ok;
}

std::string Site::read_file(const std::string &host, const std::string &p) const {
    std::string out;
    FILE *f = fopen(path(host, p).c_str(), "rbe");
    if (!f)
        return out;
    char buf[65536];
    std::size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        out.append(buf, n);
    fclose(f);
    return out;
}

bool Site::exists(const std::string &host, const std::string &p) const {
    struct stat st;
    return lstat(path(host, p).c_str(), &st) == 0;
}

bool Site::install(const std::string &host, const std::string &src, const std::string &p,
                   mode_t mode) const {
    FILE *f = fopen(src.c_str(), "rbe");
    if (!f)
        return false;
    std::string data;
    char buf[65536];
    std::size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        data.append(buf, n);
    bool ok = !ferror(f);
    fclose(f);
    return ok && write_file(host, p, data, mode);
}

pid_t Site::find_process(const std::string &host, const std::string &prog) const {
    const std::string want_site = "SIMSITE=" + name_;
    const std::string want_host = "SIMSITE_HOST=" + host;
    DIR *d = opendir("/proc");
    if (!d)
        return 0;
    pid_t found = 0;
    while (dirent *e = readdir(d)) {
        char *end;
        long p = std::strtol(e->d_name, &end, 10);
        if (*end || p <= 0)
            continue;
        std::string dir = "/proc/" + std::string(e->d_name);
        std::string cmd = testfiles::read_file(dir + "/cmdline");
        if (cmd.substr(0, cmd.find('\0')) != prog)
            continue;
        std::string env = testfiles::read_file(dir + "/environ");
        bool s = false, h = false;
        for (std::size_t i = 0; i < env.size();) {
            std::size_t z = env.find('\0', i);
            if (z == std::string::npos)
                z = env.size();
            std::string var = env.substr(i, z - i);
            s = s || var == want_site;
            h = h || var == want_host;
            i = z + 1;
        }
        if (s && h) {
            found = static_cast<pid_t>(p);
            break;
        }
    }
    closedir(d);
    return found;
}

} // namespace testsite
