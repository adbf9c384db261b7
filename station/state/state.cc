#include "state.h"

#include "fdio.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr std::size_t PATH_CAP = 4096;
constexpr std::size_t FIELD_CAP = 1024; // one text of an audit line, escaped

// One text of the audit line, escaped so that it holds no tab or newline.
void field(char *out, std::size_t cap, const char *text) {
    if (!text || !*text)
        text = "-";
    std::size_t n = 0;
    for (const char *s = text; *s && n + 3 < cap; s++) {
        char c = *s;
        if (c == '\t' || c == '\n' || c == '\\') {
            out[n++] = '\\';
            out[n++] = c == '\t' ? 't' : c == '\n' ? 'n' : '\\';
        } else {
            out[n++] = c;
        }
    }
    out[n] = '\0';
}

} // namespace

int state_dir(const char *xdg, const char *home, char *buf, std::size_t cap) {
    int n = 0;
    // A relative XDG_STATE_HOME is to be ignored, as the base directory rules say.
    if (xdg && xdg[0] == '/')
        n = snprintf(buf, cap, "%s/tarko", xdg);
    else if (home && *home)
        n = snprintf(buf, cap, "%s/.local/state/tarko", home);
    else
        return 1;
    return n < 0 || static_cast<std::size_t>(n) >= cap ? 1 : 0;
}

int state_path(const char *dir, const char *name, char *buf, std::size_t cap) {
    int n = snprintf(buf, cap, "%s/%s", dir, name);
    return n < 0 || static_cast<std::size_t>(n) >= cap ? 1 : 0;
}

int state_prepare(const char *dir) {
    char path[PATH_CAP];
    if (state_path(dir, "audit.log", path, sizeof path))
        return ENAMETOOLONG;
    if (int e = make_parent_dirs(path, 0700))
        return e;
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return errno;
    close(fd);
    // The failed list is replaced through a temporary file: the directory must take one.
    return access(dir, W_OK) == 0 ? 0 : errno;
}

int state_write_failed(const char *dir, const char *const *hosts, std::size_t n) {
    char path[PATH_CAP], temp[PATH_CAP];
    if (state_path(dir, "failed", path, sizeof path) ||
        snprintf(temp, sizeof temp, "%s.%ld", path, static_cast<long>(getpid())) >=
            static_cast<int>(sizeof temp))
        return ENAMETOOLONG;
    int fd = open(temp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return errno;
    bool ok = true;
    for (std::size_t i = 0; i < n && ok; i++)
        ok = write_all(fd, hosts[i], strlen(hosts[i])) && write_all(fd, "\n", 1);
    int e = ok ? 0 : errno;
    if (close(fd) < 0 && e == 0)
        e = errno;
    if (e == 0 && rename(temp, path) < 0)
        e = errno;
    if (e != 0)
        unlink(temp);
    return e;
}

std::size_t audit_format(const AuditRecord &r, char *buf, std::size_t cap) {
    char when[32];
    std::tm tm{};
    gmtime_r(&r.when, &tm);
    strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", &tm);
    char user[256], station[256], cmd[FIELD_CAP], host[256], op[64], path[FIELD_CAP];
    field(user, sizeof user, r.user);
    field(station, sizeof station, r.station);
    field(cmd, sizeof cmd, r.command_line);
    field(host, sizeof host, r.host);
    field(op, sizeof op, r.operation);
    field(path, sizeof path, r.path);
    char length[32] = "-", sum[16] = "-";
    if (r.length >= 0)
        snprintf(length, sizeof length, "%lld", static_cast<long long>(r.length));
    if (r.has_checksum)
        snprintf(sum, sizeof sum, "%u", r.checksum);
    char tail[96];
    int tl = snprintf(tail, sizeof tail, "\t%s\t%s\t%d\n", length, sum, r.status);
    if (cap == 0)
        return 0;
    if (static_cast<std::size_t>(tl) >= cap) {
        buf[0] = '\0';
        return 0;
    }
    // The texts give way when the line is too long; the numbers at its end stay.
    int n = snprintf(buf, cap - static_cast<std::size_t>(tl), "%s\t%s\t%s\t%s\t%s\t%s\t%s", when,
                     user, station, cmd, host, op, path);
    std::size_t head = n < 0 ? 0
                       : static_cast<std::size_t>(n) < cap - static_cast<std::size_t>(tl)
                           ? static_cast<std::size_t>(n)
                           : cap - static_cast<std::size_t>(tl) - 1;
    memcpy(buf + head, tail, static_cast<std::size_t>(tl) + 1);
    return head + static_cast<std::size_t>(tl);
}

int audit_append(const char *dir, const AuditRecord &r) {
    char path[PATH_CAP], line[AUDIT_LINE_CAP];
    if (state_path(dir, "audit.log", path, sizeof path))
        return ENAMETOOLONG;
    std::size_t n = audit_format(r, line, sizeof line);
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return errno;
    ssize_t w;
    do
        w = write(fd, line, n);
    while (w < 0 && errno == EINTR);
    int e = w == static_cast<ssize_t>(n) ? 0 : w < 0 ? errno : EIO;
    close(fd);
    return e;
}
