#include "rollout_store.h"

#include "fdio.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string utc_now() {
    char when[32];
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&t, &tm);
    strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return when;
}

// A text of a tab-separated line, with its tabs, newlines and backslashes escaped.
std::string escaped(const std::string &s) {
    std::string out;
    for (char c : s) {
        if (c == '\t' || c == '\n' || c == '\\')
            out += c == '\t' ? "\\t" : c == '\n' ? "\\n" : "\\\\";
        else
            out += c;
    }
    return out;
}

std::string unescaped(const std::string &s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); i++) {
        if (s[i] != '\\' || i + 1 == s.size()) {
            out += s[i];
            continue;
        }
        char c = s[++i];
        out += c == 't' ? '\t' : c == 'n' ? '\n' : c;
    }
    return out;
}

std::vector<std::string> fields(const std::string &line) {
    std::vector<std::string> f;
    std::size_t at = 0;
    while (true) {
        std::size_t tab = line.find('\t', at);
        f.push_back(unescaped(line.substr(at, tab == line.npos ? tab : tab - at)));
        if (tab == line.npos)
            return f;
        at = tab + 1;
    }
}

// Appends a whole line with one write, so that lines of concurrent writers never mix.
int append_line(const std::string &path, const std::string &line) {
    if (int e = make_parent_dirs(path.c_str(), 0700))
        return e;
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return errno;
    ssize_t w;
    do
        w = write(fd, line.data(), line.size());
    while (w < 0 && errno == EINTR);
    int e = w == static_cast<ssize_t>(line.size()) ? 0 : w < 0 ? errno : EIO;
    close(fd);
    return e;
}

// Writes data to path through a temporary file renamed into place.
int replace_file(const std::string &path, const std::string &data) {
    std::string temp = path + "." + std::to_string(getpid());
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return errno;
    int e = write_all(fd, data.data(), data.size()) && fdatasync(fd) == 0 ? 0 : errno;
    if (close(fd) < 0 && e == 0)
        e = errno;
    if (e == 0 && rename(temp.c_str(), path.c_str()) < 0)
        e = errno;
    if (e != 0)
        unlink(temp.c_str());
    return e;
}

int copy_into_place(const char *from, const std::string &to) {
    int in = open(from, O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return errno;
    std::string temp = to + "." + std::to_string(getpid());
    int out = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (out < 0) {
        int e = errno;
        close(in);
        return e;
    }
    char buf[65536];
    int e = 0;
    for (;;) {
        std::size_t n = read_full(in, buf, sizeof buf);
        if (n > 0 && !write_all(out, buf, n))
            e = errno;
        if (n < sizeof buf || e)
            break;
    }
    if (close(out) < 0 && e == 0)
        e = errno;
    close(in);
    if (e == 0 && rename(temp.c_str(), to.c_str()) < 0)
        e = errno;
    if (e != 0)
        unlink(temp.c_str());
    return e;
}

std::string rollouts_dir(const std::string &state) {
    return state + "/rollouts";
}

} // namespace

std::string release_id(std::uint32_t checksum, std::int64_t length) {
    return std::to_string(checksum) + "-" + std::to_string(length);
}

std::string release_path(const std::string &state, const std::string &app, const std::string &id) {
    return state + "/releases/" + app + "/" + id + ".jar";
}

int release_keep(const std::string &state, const std::string &app, const char *archive,
                 const std::string &id, int keep) {
    std::string path = release_path(state, app, id);
    if (int e = make_parent_dirs(path.c_str(), 0700))
        return e;
    // A release kept before is left as it is: other deployments may be sending it, and
    // a change of its time would tell them it changed under them.
    if (access(path.c_str(), F_OK) != 0)
        if (int e = copy_into_place(archive, path))
            return e;
    std::string dir = state + "/releases/" + app;
    std::vector<std::pair<long long, std::string>> kept;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d)) {
            std::string name = e->d_name;
            struct stat st;
            if (name.size() > 4 && name.ends_with(".jar") &&
                stat((dir + "/" + name).c_str(), &st) == 0)
                kept.push_back({st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec,
                                name.substr(0, name.size() - 4)});
        }
        closedir(d);
    }
    std::sort(kept.rbegin(), kept.rend());
    auto in_use = ledger_read(state, app);
    for (std::size_t i = static_cast<std::size_t>(keep); i < kept.size(); i++) {
        bool used = kept[i].second == id;
        for (auto &[host, rel] : in_use)
            used = used || rel == kept[i].second;
        if (!used)
            unlink(release_path(state, app, kept[i].second).c_str());
    }
    return 0;
}

int ledger_append(const std::string &state, const char *host, const char *app,
                  const std::string &release) {
    return append_line(state + "/ledger", utc_now() + "\t" + escaped(host) + "\t" + escaped(app) +
                                              "\t" + release + "\n");
}

std::map<std::string, std::string> ledger_read(const std::string &state, const std::string &app) {
    std::map<std::string, std::string> on;
    std::ifstream in(state + "/ledger");
    std::string line;
    while (std::getline(in, line)) {
        auto f = fields(line);
        if (f.size() == 4 && f[2] == app)
            on[f[1]] = f[3];
    }
    return on;
}

int rollout_create(const std::string &state, RolloutPlan &plan) {
    std::string dir = rollouts_dir(state);
    if (int e = make_parent_dirs((dir + "/x").c_str(), 0700))
        return e;
    // Named by the time it began, so that names sort as the rollouts came.
    char stamp[32];
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&t, &tm);
    strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tm);
    for (int n = 1;; n++) {
        plan.id = std::string(stamp) + "-" + std::to_string(n);
        if (mkdir((dir + "/" + plan.id).c_str(), 0700) == 0)
            break;
        if (errno != EEXIST || n > 1000)
            return errno;
    }
    return rollout_save(state, plan);
}

int rollout_save(const std::string &state, const RolloutPlan &plan) {
    std::ostringstream p;
    p << "app\t" << escaped(plan.app) << "\nrelease\t" << plan.release << "\ncheck\t"
      << escaped(plan.check) << "\ntries\t" << plan.check_tries << "\ninterval\t"
      << plan.check_interval << "\ntimeout\t" << plan.check_timeout << "\nbake\t" << plan.bake
      << "\nbudget\t" << plan.budget << "\nhalt\t" << plan.halt_only << "\njobs\t" << plan.jobs
      << "\n";
    for (auto &h : plan.current)
        p << "current\t" << escaped(h) << "\n";
    for (auto &step : plan.steps) {
        p << "step";
        for (auto &h : step)
            p << "\t" << escaped(h);
        p << "\n";
    }
    for (auto &[h, rel] : plan.previous)
        p << "previous\t" << escaped(h) << "\t" << rel << "\n";
    return replace_file(rollouts_dir(state) + "/" + plan.id + "/plan", p.str());
}

int rollout_load(const std::string &state, const std::string &id, RolloutPlan &plan) {
    std::string dir = rollouts_dir(state);
    plan = RolloutPlan{};
    plan.id = id;
    if (id.empty()) {
        DIR *d = opendir(dir.c_str());
        if (!d)
            return errno;
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.' && std::string(e->d_name) > plan.id)
                plan.id = e->d_name;
        closedir(d);
        if (plan.id.empty())
            return ENOENT;
    }
    std::ifstream in(dir + "/" + plan.id + "/plan");
    if (!in)
        return errno ? errno : ENOENT;
    std::string line;
    while (std::getline(in, line)) {
        auto f = fields(line);
        const std::string &k = f[0];
        const std::string v = f.size() > 1 ? f[1] : "";
        if (k == "app")
            plan.app = v;
        else if (k == "release")
            plan.release = v;
        else if (k == "check")
            plan.check = v;
        else if (k == "tries")
            plan.check_tries = std::atoi(v.c_str());
        else if (k == "interval")
            plan.check_interval = std::atof(v.c_str());
        else if (k == "timeout")
            plan.check_timeout = std::atof(v.c_str());
        else if (k == "bake")
            plan.bake = std::atof(v.c_str());
        else if (k == "budget")
            plan.budget = std::strtoul(v.c_str(), nullptr, 10);
        else if (k == "halt")
            plan.halt_only = v == "1";
        else if (k == "jobs")
            plan.jobs = std::atoi(v.c_str());
        else if (k == "current")
            plan.current.push_back(v);
        else if (k == "step")
            plan.steps.emplace_back(f.begin() + 1, f.end());
        else if (k == "previous" && f.size() == 3)
            plan.previous[v] = f[2];
    }
    return plan.app.empty() ? EINVAL : 0;
}

int journal_open(const std::string &state, const std::string &id, Journal &j) {
    std::string path = rollouts_dir(state) + "/" + id + "/journal";
    j.fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    return j.fd < 0 ? errno : 0;
}

void journal_add(Journal &j, const JournalEntry &e) {
    std::string line =
        utc_now() + "\t" + escaped(e.host) + "\t" + e.state + "\t" + std::to_string(e.code) + "\n";
    if (j.fd >= 0)
        write_all(j.fd, line.data(), line.size());
}

int journal_sync(Journal &j) {
    return j.fd >= 0 && fdatasync(j.fd) != 0 ? errno : 0;
}

void journal_close(Journal &j) {
    if (j.fd >= 0)
        close(j.fd);
    j.fd = -1;
}

std::vector<JournalEntry> journal_read(const std::string &state, const std::string &id) {
    std::vector<JournalEntry> out;
    std::ifstream in(rollouts_dir(state) + "/" + id + "/journal");
    std::string line;
    while (std::getline(in, line)) {
        auto f = fields(line);
        if (f.size() == 4)
            out.push_back({f[1], f[2], std::atoi(f[3].c_str())});
    }
    return out;
}

void ledger_deployed(const std::string &state, int keep, const char *host, const char *app,
                     const char *archive, std::uint32_t checksum, std::int64_t length) {
    if (state.empty())
        return;
    std::string id = archive ? release_id(checksum, length) : "none";
    if (archive && release_keep(state, app, archive, id, keep) != 0)
        fprintf(stderr, "tarko_station: warning: cannot keep %s in %s\n", archive, state.c_str());
    if (ledger_append(state, host, app, id) != 0)
        fprintf(stderr, "tarko_station: warning: cannot write the ledger in %s\n", state.c_str());
}
