// epochify MM/DD/YYYY HH:MM[:SS]: writes the local date and time as epoch seconds.
#include "epochify.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

[[noreturn]] void usage() {
    std::fputs("epochify MM/DD/YYYY HH:MM:SS\n", stdout);
    std::exit(1);
}

// Copies arg into the working buffer; an argument that does not fit is refused rather
// than cut, since a cut date would convert to a wrong time without a word.
void copy_arg(char (&buf)[ARG_SIZE], const char *arg) {
    std::size_t n = std::strlen(arg);
    if (n >= ARG_SIZE)
        usage();
    std::memcpy(buf, arg, n + 1);
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 3)
        usage();

    char date[ARG_SIZE], time_of_day[ARG_SIZE];
    copy_arg(date, argv[1]);
    copy_arg(time_of_day, argv[2]);

    char *d[3], *t[3];
    if (split_fields(date, '/', d, 3) < 3)
        usage();
    // A time without a minute is refused like a date without a year: "0815" or "8"
    // would otherwise pass as some other time of day.
    int nt = split_fields(time_of_day, ':', t, 3);
    if (nt < 2)
        usage();

    std::time_t when =
        epochify(full_year(d[2]), field_value(d[0]), field_value(d[1]), field_value(t[0]),
                 field_value(t[1]), nt == 3 ? field_value(t[2]) : 0);
    std::printf("%ld\n", static_cast<long>(when));
    return 0;
}
