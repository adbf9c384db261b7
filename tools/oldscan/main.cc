// oldscan: writes how long ago files were last modified, in seconds or a larger unit,
// for the names on the command line or in a list (a file, or standard input so that
// find can feed it). Exit status: 0 all names examined, 1 some could not be, 2 usage,
// 3 the list file cannot be opened.
#include "age.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

[[noreturn]] void usage() {
    std::fputs("oldscan version 1.0 of 6-22-95\n"
               "Usages:   oldscan [unit options] <files...>\n"
               "          oldscan -f <file of pathnames to check>\n"
               "          oldscan -i < <file of pathnames to check>\n"
               "Examples: oldscan /etc/motd\n"
               "          oldscan /etc/motd /etc/passwd\n"
               "          find . -print | oldscan -i\n"
               "Unit options: (if nothing specified, values are in seconds)\n"
               "          -m : minutes.\n"
               "          -h : hours.\n"
               "          -d : days.\n"
               "          -w : weeks.\n",
               stderr);
    std::exit(2);
}

// Ages of every name in the list; returns the number of names that failed.
int scan_list(std::FILE *list, unsigned unit, const char *delim) {
    static char name[NAME_SIZE];
    char age[AGE_SIZE];
    int failed = 0;
    for (int r; (r = read_name(list, name)) != 0;) {
        if (r < 0) {
            // No path this long can be examined; say so as stat would, without
            // examining a cut name that may belong to some other file.
            std::fprintf(stderr, "%s...: %s\n", name, std::strerror(ENAMETOOLONG));
            failed++;
        } else if (format_age(name, age, unit) == 0) {
            std::printf("%s%s%s\n", name, delim, age);
        } else {
            failed++;
        }
    }
    return failed;
}

} // namespace

int main(int argc, char **argv) {
    unsigned unit = SECONDS;
    const char *delim = " ";
    std::FILE *list = nullptr;

    // getopt reads argv[1] onwards even when there is no argv[0].
    if (argc < 1)
        usage();
    for (int opt; (opt = getopt(argc, argv, "mhdwD:if:")) != -1;) {
        switch (opt) {
        case 'm':
            unit = MINUTES;
            break;
        case 'h':
            unit = HOURS;
            break;
        case 'd':
            unit = DAYS;
            break;
        case 'w':
            unit = WEEKS;
            break;
        case 'D':
            delim = optarg;
            break;
        case 'i':
            list = stdin;
            break;
        case 'f':
            list = std::fopen(optarg, "r");
            if (list == nullptr) {
                std::perror(optarg);
                return 3;
            }
            break;
        default:
            usage();
        }
    }

    int failed = 0;
    if (list != nullptr) {
        failed = scan_list(list, unit, delim);
    } else {
        int first = optind, count = argc > optind ? argc - optind : 0;
        char age[AGE_SIZE];
        if (count == 0)
            usage();
        if (count == 1) {
            if (format_age(argv[first], age, unit) == 0) {
                std::printf("%s\n", age);
            } else {
                std::fputs("0\n", stdout);
                failed++;
            }
        } else {
            for (int i = first; i < argc; i++) {
                if (format_age(argv[i], age, unit) == 0)
                    std::printf("%s%s%s\n", argv[i], delim, age);
                else
                    failed++;
            }
        }
    }
    return failed > 0 ? 1 : 0;
}
