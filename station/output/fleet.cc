#include "fleet.h"

#include "client.h"
#include "jarcheck.h"
#include "ndjson.h"
#include "outcome.h"
#include "state.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

timespec mark{};

double since_mark() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    double s = static_cast<double>(now.tv_sec - mark.tv_sec) + (now.tv_nsec - mark.tv_nsec) / 1e9;
    mark = now;
    return s;
}

const char *user_name() {
    static char name[64];
    if (!name[0]) {
        const passwd *pw = getpwuid(geteuid());
        const char *env = getenv("USER");
        snprintf(name, sizeof name, "%s", pw ? pw->pw_name : env ? env : "?");
    }
    return name;
}

const char *station_name() {
    static char name[256];
    if (!name[0] && gethostname(name, sizeof name - 1) != 0)
        snprintf(name, sizeof name, "?");
    return name;
}

const char *base_name(const char *path) {
    const char *slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
}

// A local file that a command sends: it must open for reading and be a regular file.
int check_readable(const char *what, const char *local, char *err, std::size_t cap) {
    int fd = open(local, O_RDONLY | O_CLOEXEC);
    int e = fd < 0 ? errno : 0;
    struct stat st;
    if (fd >= 0 && fstat(fd, &st) == 0 && !S_ISREG(st.st_mode))
        e = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    if (fd >= 0)
        close(fd);
    if (e == 0)
        return 0;
    snprintf(err, cap, "%s: cannot send %s (%s)", what, local,
             e == EINVAL ? "not a regular file" : strerror(e));
    return code(Outcome::LocalUnreadable);
}

} // namespace

void journal_start() {
    since_mark();
}

void journal_request(const Options &o, const char *host, const RequestNote &n) {
    double seconds = since_mark();
    if (o.json) {
        static JsonLine j;
        json_begin(j);
        json_str(j, "type", "request");
        json_str(j, "host", host);
        json_str(j, "command", n.command);
        json_str(j, "path", n.path);
        json_int(j, "status", n.status);
        json_str(j, "meaning",
                 strcmp(n.command, "skip") == 0 ? "unchanged" : outcome_meaning(n.status));
        if (n.bytes >= 0)
            json_int(j, "bytes", n.bytes);
        else
            json_null(j, "bytes");
        if (n.has_checksum)
            json_int(j, "checksum", n.checksum);
        else
            json_null(j, "checksum");
        json_num(j, "seconds", seconds);
        json_end(j);
        fflush(stdout);
        json_write(j, 1);
    }
    if (o.state[0]) {
        AuditRecord r;
        r.when = time(nullptr);
        r.user = user_name();
        r.station = station_name();
        r.command_line = o.command_line;
        r.host = host;
        r.operation = n.command;
        r.path = n.path;
        r.length = n.bytes;
        r.has_checksum = n.has_checksum;
        r.checksum = n.checksum;
        r.status = n.status;
        // The state directory was checked before the run; a write that fails now has
        // been warned of by then or costs one line of the log, never the run.
        audit_append(o.state, r);
    }
}

void json_host(const char *host, int status, double seconds) {
    static JsonLine j;
    json_begin(j);
    json_str(j, "type", "host");
    json_str(j, "host", host);
    json_int(j, "status", status);
    json_str(j, "meaning", status < 0 ? "not started" : outcome_meaning(status));
    json_num(j, "seconds", seconds);
    json_end(j);
    fflush(stdout);
    json_write(j, 1);
}

void json_total(const HostOutcome *out, std::size_t n, int status, double seconds) {
    long ok = 0, failed = 0, unreached = 0;
    for (std::size_t i = 0; i < n; i++) {
        if (out[i].code == 0)
            ok++;
        else if (unreachable(out[i].code))
            unreached++;
        else
            failed++;
    }
    static JsonLine j;
    json_begin(j);
    json_str(j, "type", "total");
    json_int(j, "hosts", static_cast<std::int64_t>(n));
    json_int(j, "succeeded", ok);
    json_int(j, "failed", failed);
    json_int(j, "unreachable", unreached);
    json_int(j, "status", status);
    json_num(j, "seconds", seconds);
    json_end(j);
    fflush(stdout);
    json_write(j, 1);
}

int agentlog_open(AgentLog &l) {
    l.fd = memfd_create("tarko-agent-log", MFD_CLOEXEC);
    l.shown = 0;
    return l.fd < 0 ? -1 : 0;
}

int agentlog_swap(AgentLog &l, bool in, int saved) {
    if (l.fd < 0)
        return -1;
    fflush(stderr);
    if (in) {
        int keep = fcntl(2, F_DUPFD_CLOEXEC, 3);
        if (keep >= 0)
            dup2(l.fd, 2);
        return keep;
    }
    if (saved >= 0) {
        dup2(saved, 2);
        close(saved);
    }
    return -1;
}

void agentlog_flush(AgentLog &l, bool show, const char *prefix) {
    if (l.fd < 0)
        return;
    struct stat st;
    if (fstat(l.fd, &st) != 0 || st.st_size <= l.shown)
        return;
    off_t end = st.st_size;
    if (show) {
        char buf[4096];
        char line[4096 + 128];
        std::size_t len = 0;
        off_t at = l.shown;
        // Line by line, each with the prefix and written whole.
        auto put_line = [&](bool last) {
            if (len == 0 && last)
                return;
            int n = snprintf(line, sizeof line, "%s%.*s\n", prefix, static_cast<int>(len), buf);
            if (n > 0)
                fwrite(line, 1, static_cast<std::size_t>(n) < sizeof line ? n : sizeof line - 1,
                       stderr);
            len = 0;
        };
        char chunk[4096];
        while (at < end) {
            ssize_t r = pread(l.fd, chunk, sizeof chunk, at);
            if (r <= 0)
                break;
            at += r;
            for (ssize_t i = 0; i < r; i++) {
                if (chunk[i] == '\n') {
                    put_line(false);
                    continue;
                }
                if (len == sizeof buf)
                    put_line(false);
                buf[len++] = chunk[i];
            }
        }
        put_line(true);
        fflush(stderr);
    }
    l.shown = end;
}

void agentlog_close(AgentLog &l) {
    if (l.fd >= 0)
        close(l.fd);
    l.fd = -1;
}

int check_local_files(const Options &o, char *err, std::size_t cap) {
    char what[256];
    const char *const *a = o.args.data();
    switch (o.command) {
    case Command::Put:
        snprintf(what, sizeof what, "put %s/%s", a[1], o.args.size() == 3 ? a[2] : base_name(a[0]));
        return check_readable(what, a[0], err, cap);
    case Command::Sync:
        if (o.recursive) {
            // The tree is walked on each host's turn, its entries said one by one; a root
            // that cannot be read at all is one fault of this station, not of every host.
            DIR *d = opendir(a[0]);
            if (d) {
                closedir(d);
                return 0;
            }
            snprintf(err, cap, "sync %s: cannot read the directory %s (%s)", a[o.args.size() - 1],
                     a[0], strerror(errno));
            return code(Outcome::LocalUnreadable);
        }
        for (std::size_t i = 0; i + 1 < o.args.size(); i++) {
            snprintf(what, sizeof what, "sync %s/%s", a[o.args.size() - 1], base_name(a[i]));
            if (int r = check_readable(what, a[i], err, cap))
                return r;
        }
        return 0;
    case Command::Deploy: {
        snprintf(what, sizeof what, "deploy %s", a[0]);
        if (int r = check_readable(what, a[1], err, cap))
            return r;
        if (o.force)
            return 0;
        char seen[160];
        int e = 0;
        JarLayout l = jar_check(a[1], a[0], seen, sizeof seen, &e);
        if (l == JarLayout::Ok)
            return 0;
        if (l == JarLayout::Unreadable) {
            snprintf(err, cap, "%s: cannot send %s (%s)", what, a[1], strerror(e));
            return code(Outcome::LocalUnreadable);
        }
        char holds[200] = "";
        if (l == JarLayout::NoApp && seen[0])
            snprintf(holds, sizeof holds, "\nIt holds: %s", seen);
        snprintf(err, cap,
                 "%s: %s is %s; the server expects a jar (zip) holding the application's "
                 "directory:\n"
                 "    %s/data/...   the application's data\n"
                 "    %s/java/...   its classes%s\n"
                 "(--force sends it as it is)",
                 what, a[1],
                 l == JarLayout::NotZip ? "not a jar (zip) archive"
                 : seen[0]              ? "a jar without that directory"
                                        : "an empty jar",
                 a[0], a[0], holds);
        return code(Outcome::LocalUnreadable);
    }
    default:
        return 0;
    }
}

bool unreachable(int code) {
    return code == ::code(Outcome::HostUnavailable) || code == ::code(Outcome::NoChild);
}

int fanout_status(const HostOutcome *out, std::size_t n) {
    bool failed = false, unreached = false;
    for (std::size_t i = 0; i < n; i++) {
        if (out[i].code == 0)
            continue;
        if (unreachable(out[i].code))
            unreached = true;
        else
            failed = true;
    }
    return failed ? code(Outcome::SomeHostFailed) : unreached ? code(Outcome::HostUnavailable) : 0;
}
