// rlogger: a log line for a file on another host goes into the hourly spool file of
// that host, where the collector picks it up; a line for this host is appended directly.
#include "sys_hdrs.h"
#include "zavlib.h"

#include <array>
#include <climits>
#include <strings.h>

namespace {

// rlogger runs with umask 0 so that the spool and its directories are open to the
// collector whatever the caller's umask; the caller's umask is back on every return.
struct UmaskZero {
    mode_t saved = umask(0);
    ~UmaskZero() { umask(saved); }
    UmaskZero() = default;
    UmaskZero(const UmaskZero &) = delete;
    UmaskZero &operator=(const UmaskZero &) = delete;
};

struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0)
            close(fd);
    }
};

// Opens path for appending, creating its directories and the file (0666) when missing.
int open_append(const char *path) {
    int fd = open(path, O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd >= 0)
        return fd;
    make_path_dirs(path);
    return open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
}

// Longest path and line a record carries; the error log stays far below both.
constexpr std::size_t record_path_max = 255;
constexpr std::size_t record_line_max = 1023;

int spool_line(const char *host, const char *path, const char *line, const struct tm &now) {
    std::array<char, spool_host_max + 1> upper{};
    std::size_t hlen = strnlen(host, spool_host_max);
    for (std::size_t i = 0; i < hlen; i++) {
        char c = host[i];
        upper[i] = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    }

    std::array<char, sizeof spool_dir + spool_host_max + 8> spool_path;
    std::snprintf(spool_path.data(), spool_path.size(), "%s/%s%02d%02d", spool_dir, upper.data(),
                  now.tm_mday, now.tm_hour);

    Fd file{open_append(spool_path.data())};
    if (file.fd < 0) {
        errlog_errno("LAJ", "05205 open error[%s] [%s]", spool_path.data(), line);
        return -1;
    }

    // The record: 32-bit path_len and line_len in this host's byte order, each counting
    // its text's NUL, then the path and the line with their NULs.
    std::size_t plen = strnlen(path, record_path_max);
    std::size_t llen = strnlen(line, record_line_max);
    std::array<char, 8 + record_path_max + 1 + record_line_max + 1> record;
    std::uint32_t path_len = static_cast<std::uint32_t>(plen + 1);
    std::uint32_t line_len = static_cast<std::uint32_t>(llen + 1);
    std::memcpy(record.data(), &path_len, 4);
    std::memcpy(record.data() + 4, &line_len, 4);
    std::memcpy(record.data() + 8, path, plen);
    record[8 + plen] = '\0';
    std::memcpy(record.data() + 8 + path_len, line, llen);
    record[8 + path_len + llen] = '\0';

    // One write on an append descriptor, so records of concurrent writers never mix.
    if (write(file.fd, record.data(), 8 + path_len + line_len) < 0) {
        errlog_errno("LAJ", "XXXXX rlogger: write [%s] [%s]", spool_path.data(), line);
        return -1;
    }
    return 0;
}

int append_line(const char *path, const char *line) {
    Fd file{open_append(path)};
    if (file.fd < 0) {
        errlog_errno("LAJ", "05215 open error[%s]", path);
        return -1;
    }
    if (write(file.fd, line, std::strlen(line)) < 0) {
        errlog_errno("LAJ", "05220 write error[%s]", line);
        return -1;
    }
    return 0;
}

} // namespace

int is_local_host(const char *name) {
    // Room for a name of the full 64 characters and its terminator: gethostname fails
    // rather than cut a name that does not fit.
    std::array<char, spool_host_max + 1> self{};
    if (gethostname(self.data(), self.size()) < 0)
        return -1;
    if (strcasecmp(name, self.data()) == 0)
        return 0;
    struct hostent *entry = gethostbyname(self.data());
    if (!entry)
        return -2;
    if (entry->h_name && strcasecmp(name, entry->h_name) == 0)
        return 0;
    for (char **alias = entry->h_aliases; alias && *alias; alias++)
        if (strcasecmp(name, *alias) == 0)
            return 0;
    return -3;
}

int rlogger(const char *host, const char *path, const char *line) {
    UmaskZero mask;
    time_t now = time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);

    // path may be the error log's own buffer, which a failure message rewrites.
    std::array<char, PATH_MAX> dest;
    std::snprintf(dest.data(), dest.size(), "%s", path);

    if (is_local_host(host) != 0)
        return spool_line(host, dest.data(), line, local);
    return append_line(dest.data(), line);
}
