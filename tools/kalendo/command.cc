#include "command.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int command;
const char *command_str = "";

namespace {

constexpr std::array<const char *, 8> names = {
    nullptr, "kpast", "kahead", "kday", "kordinal", "kweekday", "kstamp", "kunstamp",
};

constexpr unsigned bit(int c) {
    return 1u << c;
}
constexpr unsigned ALL = bit(KPAST) | bit(KAHEAD) | bit(KDAY) | bit(KORDINAL) | bit(KWEEKDAY) |
                         bit(KSTAMP) | bit(KUNSTAMP);
constexpr unsigned COUNTED = bit(KPAST) | bit(KAHEAD);

struct Piece {
    const char *text; // a printf format; %s is the command name
    unsigned commands;
};

// The usage text is put together from these pieces, each written only for the commands
// it concerns, so every command documents just the arguments it reads.
constexpr Piece usage_pieces[] = {
    {"\n", ALL},
    {"Usage: %s ", ALL},
    {"[+n] ", COUNTED},
    {"[-f format-string] ", ALL & ~bit(KSTAMP)},
    {"[yyyymmdd", ALL & ~bit(KDAY) & ~bit(KUNSTAMP)},
    {"] ", ALL & ~bit(KDAY) & ~bit(KUNSTAMP) & ~bit(KSTAMP)},
    {" [hhmmss]] ", bit(KSTAMP)},
    {"[unix-time] ", bit(KUNSTAMP)},
    {"\n\n", ALL},
    {"   +n where n = number of days to return\n", COUNTED},
    {"                max = 45, min = 1\n", COUNTED},
    {"   -f specifies to use the following format-string\n", ALL & ~bit(KSTAMP)},
    {"   yyyymmdd = the reference date\n", ALL & ~bit(KDAY) & ~bit(KUNSTAMP)},
    {"   hhmmss = the reference time\n", bit(KSTAMP)},
    {"   unix-time is the UNIX time stamp to convert\n", bit(KUNSTAMP)},
    {"\n", ALL},
    {"examples: %s\n", ALL},
    {"          %s 19971001\n", ALL & ~bit(KDAY) & ~bit(KUNSTAMP)},
    {"          %s +7\n", COUNTED},
    {"          %s +7 19971001\n", COUNTED},
    {"          %s 891752400\n", bit(KUNSTAMP)},
    {"          %s -f %%Y-%%m-%%d\n", ALL & ~bit(KSTAMP)},
    {"          %s 19971001 081500\n", bit(KSTAMP)},
    {"\n", ALL},
};

} // namespace

const char *base_name(const char *name) {
    if (name == nullptr || *name == '\0')
        return "";
    const char *base = name;
    for (const char *p = name + 1; *p; p++)
        if (*p == '/')
            base = p + 1;
    return base;
}

int command_number(const char *base) {
    for (int c = KPAST; c <= KUNSTAMP; c++)
        if (std::strcmp(base, names[c]) == 0)
            return c;
    return 0;
}

int GetCommand(const char *name) {
    command_str = base_name(name);
    int c = command_number(command_str);
    if (c != 0)
        return c;
    std::printf("The program file %s is not a valid program name.\n", command_str);
    std::printf("This program must be named one of the following\n");
    for (int i = KPAST; i <= KUNSTAMP; i++)
        std::printf("%-16s%-9s \n", i == KPAST ? "program names:" : "", names[i]);
    std::printf("\n");
    std::exit(0);
}

void Usage() {
    for (const Piece &p : usage_pieces)
        if (p.commands & bit(command))
            std::printf(p.text, command_str);
    std::exit(0);
}

void InvalidArg(const char *text) {
    std::printf("%s: %s Invalid argument\n\n", command_str, text);
    Usage();
}
