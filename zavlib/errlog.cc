// The daily error-log file: opened at the first line of a process, kept open, and
// switched when the day of the month changes.
#include "errlog.h"
#include "sys_hdrs.h"
#include "zavlib.h"

#include <array>
#include <climits>

char errlog_dir[errlog_dir_size] = "/usr/log/ivo";
char errlog_ident[errlog_ident_size] = "";
char errlog_tag[errlog_tag_size] = "";

namespace {

int log_fd = -1;
int log_mday = 0; // day of the month of the open file, 0 while none is open
int log_mon = 0;  // its month, 1 to 12
std::array<char, errlog_path_max + 1> log_path{};
time_t line_time = 0;
struct tm line_tm {};

// The settings are plain arrays that host programs fill; the precisions keep every
// read inside them even when one was filled without a terminator.
// The path is cut to its 87 characters.
void build_path() {
    std::array<char, errlog_dir_size + 32> full;
    std::snprintf(full.data(), full.size(), "%.95s/errlog%02d%02d", errlog_dir, log_mon, log_mday);
    std::size_t n = strnlen(full.data(), errlog_path_max);
    std::memcpy(log_path.data(), full.data(), n);
    log_path[n] = '\0';
}

} // namespace

void openerrlog() {
    line_time = time(nullptr);
    localtime_r(&line_time, &line_tm);
    if (log_mday == line_tm.tm_mday) {
        build_path();
        return;
    }
    if (log_mday != 0 && log_fd >= 0) {
        close(log_fd);
        log_fd = -1;
    }
    log_mday = line_tm.tm_mday;
    log_mon = line_tm.tm_mon + 1;
    build_path();

    log_fd = open(log_path.data(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (log_fd >= 0)
        return;
    make_path_dirs(log_path.data());
    log_fd = open(log_path.data(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (log_fd >= 0)
        return;
    std::fprintf(stderr, "%.95s: openerrlog: (%s) errno=(%d)\n", errlog_ident, log_path.data(),
                 errno);
    std::exit(2);
}

static void vwrite_line(const char *code, const char *format, va_list ap) {
    openerrlog();

    char stamp[32];
    if (strftime(stamp, sizeof stamp, "%m/%d %T", &line_tm) == 0)
        stamp[0] = '\0';

    std::array<char, errlog_line_max + 1> message;
    std::vsnprintf(message.data(), message.size(), format, ap);

    const char *rest = (code && code[0]) ? code + 1 : "";
    std::array<char, errlog_line_max + 1> line;
    int n;
    if (errlog_tag[0])
        n = std::snprintf(line.data(), line.size(), "%s %.95s:[%.79s] M%s %s\n", stamp,
                          errlog_ident, errlog_tag, rest, message.data());
    else
        n = std::snprintf(line.data(), line.size(), "%s %.95s: M%s %s\n", stamp, errlog_ident, rest,
                          message.data());
    if (n < 0)
        return;
    if (static_cast<std::size_t>(n) > errlog_line_max) {
        // Cut to the longest line and keep it a line, so that readers of the file and
        // the collector still see one record per line.
        n = static_cast<int>(errlog_line_max);
        line[n - 1] = '\n';
        line[n] = '\0';
    }

    ssize_t ignored = write(log_fd, line.data(), static_cast<std::size_t>(n));
    (void)ignored;

    if (code && code[0] == 'M')
        rlogger(central_log_host, log_path.data(), line.data());
}

void errlog_write(const char *code, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    vwrite_line(code, format, ap);
    va_end(ap);
}

void errlog_errno(const char *code, const char *format, ...) {
    // Taken before anything else can touch it: the number describes the caller's failure.
    int err = errno;
    std::array<char, errlog_line_max + 1> message;
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(message.data(), message.size(), format, ap);
    va_end(ap);
    errlog_write(code, "%s errno=(%d) pid(%d)", message.data(), err, static_cast<int>(getpid()));
}

int make_path_dirs(const char *path) {
    std::array<char, PATH_MAX> copy;
    std::size_t len = strnlen(path, copy.size());
    if (len >= copy.size())
        return -1;
    std::memcpy(copy.data(), path, len + 1);

    // Components, empty ones (leading, trailing or doubled "/") skipped.
    std::array<char *, PATH_MAX / 2 + 1> parts;
    std::size_t count = 0;
    char *save = nullptr;
    for (char *p = strtok_r(copy.data(), "/", &save); p; p = strtok_r(nullptr, "/", &save))
        parts[count++] = p;

    std::array<char, PATH_MAX> prefix;
    std::size_t plen = 0;
    prefix[0] = '\0';
    for (std::size_t i = 0; i + 1 < count; i++) {
        std::size_t clen = std::strlen(parts[i]);
        if (plen + 1 + clen >= prefix.size())
            return -1;
        prefix[plen++] = '/';
        std::memcpy(prefix.data() + plen, parts[i], clen + 1);
        plen += clen;
        while (mkdir(prefix.data(), 0777) < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EEXIST || errno == ENOENT)
                break;
            return -1;
        }
    }
    return 0;
}
