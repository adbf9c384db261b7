#include "dates.h"

#include <climits>
#include <cstdlib>
#include <cstring>

long long leading_number(const char *text) {
    // strtoll reads exactly what atoi reads, and saturates where atoi would overflow.
    return std::strtoll(text, nullptr, 10);
}

int leading_int(const char *text) {
    long long v = leading_number(text);
    if (v > INT_MAX)
        return INT_MAX;
    if (v < INT_MIN)
        return INT_MIN;
    return static_cast<int>(v);
}

// The number in the n characters at text, copied to a terminated scratch buffer.
static int group(const char *text, std::size_t n) {
    char scratch[VALUE_SIZE];
    std::memcpy(scratch, text, n);
    scratch[n] = '\0';
    return leading_int(scratch);
}

int parse_date(const char *text, std::tm *tm) {
    if (std::strlen(text) != 8)
        return -1;
    std::memset(tm, 0, sizeof *tm);
    tm->tm_year = group(text, 4) - 1900;
    tm->tm_mon = group(text + 4, 2) - 1;
    tm->tm_mday = group(text + 6, 2);
    tm->tm_isdst = -1;
    return 0;
}

int parse_time(const char *text, std::tm *tm) {
    if (std::strlen(text) != 6)
        return -1;
    tm->tm_hour = group(text, 2);
    tm->tm_min = group(text + 2, 2);
    tm->tm_sec = group(text + 4, 2);
    return 0;
}

int dst_flag(std::time_t t) {
    std::tm *lt = std::localtime(&t);
    return lt ? lt->tm_isdst : -1;
}

int dst_correct(std::time_t *t, int d0) {
    int d1 = dst_flag(*t);
    if (d1 == 0 && d0 > 0) {
        *t += 3600;
        return 1;
    }
    if (d1 > 0 && d0 == 0) {
        *t -= 3600;
        return 1;
    }
    return 0;
}

std::size_t format_value(std::time_t t, const char *format, char *out) {
    out[0] = '\0';
    std::tm *lt = std::localtime(&t);
    if (lt == nullptr)
        return 0;
    std::size_t n = std::strftime(out, VALUE_SIZE, format, lt);
    if (n == 0)
        out[0] = '\0'; // the contents are unspecified when the value did not fit
    return n;
}
