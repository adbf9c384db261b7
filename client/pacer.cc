#include "pacer.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace station {

namespace {

long long now_us() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000LL + ts.tv_nsec / 1000;
}

// Refills the bucket for the time gone since the last refill.
void refill(Pacer &p) {
    long long now = now_us();
    p.tokens = std::min(p.burst, p.tokens + p.rate * static_cast<double>(now - p.last_us) / 1e6);
    p.last_us = now;
}

} // namespace

int parse_rate(const char *text, double *bytes_per_second) {
    char *end = nullptr;
    double v = strtod(text, &end);
    if (end == text || !std::isfinite(v) || v <= 0 || *text == '-' || *text == '+')
        return -1;
    double mult = 1;
    switch (*end) {
    case 'k':
    case 'K':
        mult = 1e3;
        end++;
        break;
    case 'M':
        mult = 1e6;
        end++;
        break;
    case 'G':
        mult = 1e9;
        end++;
        break;
    default:
        break;
    }
    double unit = 1;
    if (strcmp(end, "bit") == 0)
        unit = 1.0 / 8;
    else if (strcmp(end, "B") != 0 && *end != '\0')
        return -1;
    double rate = v * mult * unit;
    if (rate < 1 || rate > 1e12)
        return -1;
    *bytes_per_second = rate;
    return 0;
}

void pacer_start(Pacer &p, double rate) {
    p = Pacer{};
    p.rate = rate;
    // 10 ms worth, but never less than a page, so that a slow rate still moves whole
    // pieces; a wake-up that comes late keeps what fell due meanwhile.
    p.batch = std::max(rate * 0.01, 4096.0);
    p.burst = 4 * p.batch;
    p.last_us = now_us();
}

std::size_t pacer_allow(Pacer &p, std::size_t want, int *wait_ms) {
    *wait_ms = 0;
    if (p.rate <= 0)
        return want;
    refill(p);
    double need = std::min(static_cast<double>(want), p.batch);
    if (p.tokens >= need)
        return std::min(want, static_cast<std::size_t>(p.tokens));
    *wait_ms = std::max(1, static_cast<int>(std::ceil((need - p.tokens) * 1000 / p.rate)));
    return 0;
}

void pacer_sent(Pacer &p, std::size_t n) {
    p.sent += static_cast<std::int64_t>(n);
    if (p.rate > 0)
        p.tokens -= static_cast<double>(n);
}

} // namespace station
