#include "epochify.h"

#include <climits>
#include <cstdlib>
#include <cstring>

// Fields arrive unchecked and may be as large as an int holds; offsets are taken in a
// wider type and held inside int, where mktime reports them as unrepresentable.
static int offset_field(int value, int offset) {
    long long v = static_cast<long long>(value) - offset;
    return v < INT_MIN ? INT_MIN : static_cast<int>(v);
}

std::time_t epochify(int year, int month, int day, int hour, int minute, int second) {
    std::tm tm{};
    tm.tm_year = offset_field(year, 1900);
    tm.tm_mon = offset_field(month, 1);
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_wday = 0;
    tm.tm_yday = 0;
    tm.tm_isdst = -1;
    return std::mktime(&tm);
}

int split_fields(char *text, char sep, char **fields, int max) {
    int n = 0;
    char *p = text;
    while (n < max) {
        while (*p == sep)
            p++;
        if (*p == '\0')
            break;
        fields[n++] = p;
        while (*p != '\0' && *p != sep)
            p++;
        if (*p == '\0')
            break;
        *p++ = '\0';
    }
    return n;
}

int field_value(const char *text) {
    long v = std::strtol(text, nullptr, 10);
    if (v > INT_MAX)
        return INT_MAX;
    if (v < INT_MIN)
        return INT_MIN;
    return static_cast<int>(v);
}

int full_year(const char *field) {
    int y = field_value(field);
    if (std::strlen(field) != 2)
        return y;
    return y >= 30 ? 1900 + y : 2000 + y;
}
