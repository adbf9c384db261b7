#include "progress.h"

#include <cstdio>
#include <cstring>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

double seconds_between(const timespec &a, const timespec &b) {
    return static_cast<double>(b.tv_sec - a.tv_sec) + (b.tv_nsec - a.tv_nsec) / 1e9;
}

timespec now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts;
}

// Human size: bytes under 10 kB, else kB, MB, GB with one decimal.
void human(char *buf, std::size_t cap, double bytes) {
    const char *units[] = {"B", "kB", "MB", "GB", "TB"};
    int u = 0;
    while (bytes >= 10240 && u < 4) {
        bytes /= 1024;
        u++;
    }
    if (u == 0)
        snprintf(buf, cap, "%.0f %s", bytes, units[u]);
    else
        snprintf(buf, cap, "%.1f %s", bytes, units[u]);
}

int terminal_width(int fd) {
    winsize ws{};
    if (ioctl(fd, TIOCGWINSZ, &ws) == 0 && ws.ws_col >= 20)
        return ws.ws_col;
    return 80;
}

void draw(ProgressBar &p, std::int64_t done, const timespec &t) {
    char line[512];
    int width = terminal_width(p.fd);
    if (width > static_cast<int>(sizeof line) - 8)
        width = static_cast<int>(sizeof line) - 8;
    std::size_t n = progress_format(line + 1, sizeof line - 1, p.label, done, p.total,
                                    seconds_between(p.start, t), width - 1);
    line[0] = '\r';
    // The bar is a courtesy: a failed write to the terminal changes nothing.
    ssize_t w = write(p.fd, line, n + 1);
    (void)w;
    p.drawn = true;
    p.last = t;
}

} // namespace

std::size_t progress_format(char *buf, std::size_t cap, const char *label, std::int64_t done,
                            std::int64_t total, double seconds, int width) {
    if (cap == 0)
        return 0;
    if (done < 0)
        done = 0;
    if (total > 0 && done > total)
        done = total;
    double frac = total > 0 ? static_cast<double>(done) / static_cast<double>(total) : 1.0;
    char size[32], rate[32], tail[96];
    human(size, sizeof size, static_cast<double>(done));
    human(rate, sizeof rate, seconds > 0 ? static_cast<double>(done) / seconds : 0.0);
    int tail_len =
        snprintf(tail, sizeof tail, " %3d%% %s %s/s", static_cast<int>(frac * 100), size, rate);
    // Label, a space, "[", the bar, "]", the tail; the bar takes what is left.
    int label_len = static_cast<int>(strlen(label));
    int room = width - tail_len - 3;
    if (label_len > room - 10)
        label_len = room - 10 > 0 ? room - 10 : 0;
    int bar = room - label_len;
    if (bar < 0)
        bar = 0;
    std::size_t n = 0;
    auto put = [&](char c) {
        if (n + 1 < cap)
            buf[n++] = c;
    };
    for (int i = 0; i < label_len; i++)
        put(label[i]);
    put(' ');
    put('[');
    int filled = static_cast<int>(frac * bar);
    for (int i = 0; i < bar; i++)
        put(i < filled ? '#' : '-');
    put(']');
    for (int i = 0; i < tail_len; i++)
        put(tail[i]);
    buf[n] = '\0';
    return n;
}

void progress_start(ProgressBar &p, const char *label, std::int64_t total, bool enabled) {
    p.enabled = enabled;
    p.drawn = false;
    p.total = total;
    p.start = now();
    p.last = p.start;
    snprintf(p.label, sizeof p.label, "%s", label);
}

void progress_update(ProgressBar &p, std::int64_t done) {
    if (!p.enabled)
        return;
    timespec t = now();
    if (seconds_between(p.start, t) < 1.0)
        return;
    if (p.drawn && seconds_between(p.last, t) < 0.1)
        return;
    draw(p, done, t);
}

void progress_end(ProgressBar &p, std::int64_t done) {
    if (!p.enabled || !p.drawn)
        return;
    draw(p, done, now());
    ssize_t w = write(p.fd, "\n", 1);
    (void)w;
    p.drawn = false;
}
