#include "age.h"

#include <cctype>
#include <cstdint>
#include <ctime>
#include <sys/stat.h>

int format_age(const char *path, char *out, unsigned unit) {
    struct stat st;
    if (stat(path, &st) < 0) {
        std::perror(path);
        return -1;
    }
    std::uint32_t age =
        static_cast<std::uint32_t>(std::time(nullptr)) - static_cast<std::uint32_t>(st.st_mtime);
    if (unit > 1)
        age /= unit;
    std::snprintf(out, AGE_SIZE, "%u", age);
    return 0;
}

int read_name(std::FILE *in, char *name) {
    int c;
    do
        c = getc_unlocked(in);
    while (c != EOF && std::isspace(c));
    if (c == EOF)
        return 0;
    std::size_t n = 0;
    bool too_long = false;
    for (; c != EOF && !std::isspace(c); c = getc_unlocked(in)) {
        if (n < NAME_SIZE - 1)
            name[n++] = static_cast<char>(c);
        else
            too_long = true;
    }
    name[n] = '\0';
    return too_long ? -1 : 1;
}
