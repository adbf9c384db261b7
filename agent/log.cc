// The activity log. Lines are formatted into a bounded local buffer and written whole
// with one write per destination: no stdio state that a signal handler could find
// half-updated, and appends of concurrent agents to the daily file never interleave.
#include "log.h"

#include "ownfile.h"

#include "fdio.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

int logfd = -1;

namespace {

constexpr std::size_t LINE_CAP = 1024;

// Seconds east of UTC, for the signal-safe time stamp.
volatile sig_atomic_t utc_offset = 0;

// Writes the line; a failure drops the rest, as nothing more can be done about a log
// that cannot be written.
void put(int fd, const char *p, std::size_t n) {
    write_all(fd, p, n);
}

void emit(const char *line, std::size_t n) {
    int fd = logfd;
    if (fd >= 0)
        put(fd, line, n);
    put(2, line, n);
}

} // namespace

void log_init() {
    tzset();
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    if (localtime_r(&now, &tm))
        utc_offset = static_cast<sig_atomic_t>(tm.tm_gmtoff);
}

void open_log_file() {
    if (logfd >= 0)
        return;
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    std::array<char, 16> day{};
    if (!localtime_r(&now, &tm) || std::strftime(day.data(), day.size(), "%Y%m%d", &tm) == 0)
        return;
    std::array<char, 64> path{};
    std::snprintf(path.data(), path.size(), "/zav/log/tarko/tarko_log.%s", day.data());
    make_parent_dirs(path.data(), 0777);
    // The log directory is open to every account: a link or pipe planted at the day's
    // name is replaced, never written through or waited on.
    int fd = open_own(path.data(), O_APPEND, 0666);
    if (fd >= 0)
        logfd = fd;
}

void close_log_file() {
    int fd = logfd;
    logfd = -1;
    if (fd >= 0)
        close(fd);
}

void log_entry(const char *fmt, ...) {
    std::array<char, LINE_CAP> line{};
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    std::size_t n = 0;
    if (localtime_r(&now, &tm)) {
        utc_offset = static_cast<sig_atomic_t>(tm.tm_gmtoff);
        n = std::strftime(line.data(), line.size(), "%H:%M:%S ", &tm);
    }
    va_list ap;
    va_start(ap, fmt);
    int k = std::vsnprintf(line.data() + n, line.size() - n - 1, fmt, ap);
    va_end(ap);
    if (k > 0)
        n += std::min(static_cast<std::size_t>(k), line.size() - n - 2);
    line[n++] = '\n';
    emit(line.data(), n);
}

void log_entry_from_signal(const char *msg) {
    std::array<char, LINE_CAP> line{};
    long t = static_cast<long>(std::time(nullptr)) + utc_offset;
    long s = ((t % 86400) + 86400) % 86400;
    int parts[3] = {static_cast<int>(s / 3600), static_cast<int>(s / 60 % 60),
                    static_cast<int>(s % 60)};
    std::size_t n = 0;
    for (int i = 0; i < 3; i++) {
        line[n++] = static_cast<char>('0' + parts[i] / 10);
        line[n++] = static_cast<char>('0' + parts[i] % 10);
        line[n++] = i < 2 ? ':' : ' ';
    }
    for (; *msg && n < line.size() - 1; msg++)
        line[n++] = *msg;
    line[n++] = '\n';
    if (logfd >= 0)
        put(logfd, line.data(), n);
    // Standard error may be a pipe that nobody reads any more; the line is given up
    // rather than block the handler that has to end the process.
    pollfd p{2, POLLOUT, 0};
    if (poll(&p, 1, 1000) == 1 && (p.revents & POLLOUT))
        put(2, line.data(), n);
}
