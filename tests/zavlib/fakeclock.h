// A clock the test sets: include in exactly one file of a test program. The program's
// own time() takes the place of the C library's for the site library linked into it,
// so that the error log and the spool see whatever date and hour a test chooses.
#pragma once

#include <atomic>
#include <ctime>

namespace fakeclock {

// The time that time() reads while the clock stands still; 0 leaves the real time.
inline std::atomic<long long> fixed{0};

// From now on time() reads the local time given (TZ is fixed to UTC by use_utc()).
// The clock stands still there, so that a test on a busy machine never sees the
// second change between the moment it sets and the line it checks.
inline void set_local(int year, int mon, int mday, int hour, int min, int sec) {
    struct tm t {};
    t.tm_year = year - 1900;
    t.tm_mon = mon - 1;
    t.tm_mday = mday;
    t.tm_hour = hour;
    t.tm_min = min;
    t.tm_sec = sec;
    t.tm_isdst = -1;
    fixed = static_cast<long long>(mktime(&t));
}

inline void use_real() {
    fixed = 0;
}

inline void use_utc() {
    setenv("TZ", "UTC0", 1);
    tzset();
}

} // namespace fakeclock

extern "C" time_t time(time_t *out) noexcept {
    timespec real{};
    clock_gettime(CLOCK_REALTIME, &real);
    long long f = fakeclock::fixed.load();
    time_t now = static_cast<time_t>(f ? f : real.tv_sec);
    if (out)
        *out = now;
    return now;
}
