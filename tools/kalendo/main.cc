// kalendo: date arithmetic and conversions for shell scripts. The name the program is
// started under selects the command; everything it writes goes to standard output and
// every run ends with status 0.
#include "command.h"
#include "dates.h"

#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

constexpr const char *VERSION = "1.2  1998-10-05";
constexpr int MAX_DAYS = 45;
constexpr std::time_t DAY = 86400;

const char *default_format(int c) {
    switch (c) {
    case KORDINAL:
        return "%j";
    case KWEEKDAY:
        return "%w";
    case KUNSTAMP:
        return "%a %b %d %H:%M:%S %Z %Y";
    default:
        return "%Y%m%d";
    }
}

bool counted(int c) {
    return c == KPAST || c == KAHEAD;
}

} // namespace

int main(int argc, char **argv) {
    command = GetCommand(argc > 0 ? argv[0] : nullptr);

    std::time_t ref = std::time(nullptr);
    int n = 1;
    char format[FORMAT_MAX + 1];
    std::strcpy(format, default_format(command));

    for (int i = 1; i < argc; i++) {
        const char *arg = argv[i];
        if (arg[0] == '+') {
            if (counted(command)) {
                long long v = leading_number(arg + 1);
                if (v <= 0 || v > MAX_DAYS)
                    InvalidArg(arg);
                n = static_cast<int>(v);
            }
            continue;
        }
        if (arg[0] == '-') {
            switch (arg[1]) {
            case 'f':
                if (i + 1 >= argc)
                    InvalidArg("missing format string");
                arg = argv[++i];
                if (std::strlen(arg) > FORMAT_MAX)
                    InvalidArg(arg);
                std::strcpy(format, arg);
                break;
            case 'v':
                std::printf("kalendo: Dunmere Voice Version %s\n", VERSION);
                break;
            default:
                Usage();
            }
            continue;
        }
        if (command == KUNSTAMP) {
            ref = static_cast<std::time_t>(leading_number(arg));
            continue;
        }
        std::tm tm;
        if (parse_date(arg, &tm) < 0)
            InvalidArg(arg);
        // Only kstamp reads a time, and only from an argument that is no option or count.
        if (command == KSTAMP && i + 1 < argc && argv[i + 1][0] != '-' && argv[i + 1][0] != '+') {
            arg = argv[++i];
            if (parse_time(arg, &tm) < 0)
                InvalidArg(arg);
        }
        ref = std::mktime(&tm);
    }

    // Stepping by whole days of 86400 seconds would slip an hour at every change between
    // standard and summer time; the correction keeps the time of day, so no date repeats
    // and none is skipped.
    if (command == KPAST) {
        int d0 = dst_flag(ref);
        ref -= (n + 1) * DAY;
        dst_correct(&ref, d0);
    }
    char value[VALUE_SIZE];
    for (int i = 0; i < n; i++) {
        if (counted(command)) {
            int d0 = dst_flag(ref);
            ref += DAY;
            dst_correct(&ref, d0);
        }
        if (i > 0)
            std::putchar(' ');
        if (command == KSTAMP) {
            std::printf("%lld", static_cast<long long>(ref));
        } else {
            format_value(ref, format, value);
            std::fputs(value, stdout);
        }
    }
    std::putchar('\n');
    return 0;
}
