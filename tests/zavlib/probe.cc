// zavlib_probe: drives the site library from the command line, so that tests can run
// its fixed-path parts (the default error-log directory, the spool) inside a simulated
// site host.
//
//   zavlib_probe [--at YYYYMMDDHHMMSS] [--umask OOO] COMMAND ARGS...
//     write CODE MESSAGE       errlog_write(CODE, "%s", MESSAGE)
//     rlogger HOST PATH LINE   prints "rlogger=<result>"
//     local NAME               prints "is_local_host=<result>"
//   Afterwards prints "umask=<octal>", the umask in force at the end.
//
// --at sets the local time (UTC) that the library sees.
#include "fakeclock.h"
#include "zavlib.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>

int main(int argc, char **argv) {
    int i = 1;
    for (; i + 1 < argc && argv[i][0] == '-'; i += 2) {
        if (std::strcmp(argv[i], "--at") == 0) {
            int y, mo, d, h, mi, s;
            if (std::sscanf(argv[i + 1], "%4d%2d%2d%2d%2d%2d", &y, &mo, &d, &h, &mi, &s) != 6)
                return 64;
            fakeclock::use_utc();
            fakeclock::set_local(y, mo, d, h, mi, s);
        } else if (std::strcmp(argv[i], "--umask") == 0) {
            umask(static_cast<mode_t>(std::stoi(argv[i + 1], nullptr, 8)));
        } else {
            return 64;
        }
    }
    if (i >= argc)
        return 64;
    std::string cmd = argv[i];
    if (cmd == "write" && i + 2 < argc) {
        errlog_write(argv[i + 1], "%s", argv[i + 2]);
    } else if (cmd == "rlogger" && i + 3 < argc) {
        std::printf("rlogger=%d\n", rlogger(argv[i + 1], argv[i + 2], argv[i + 3]));
    } else if (cmd == "local" && i + 1 < argc) {
        std::printf("is_local_host=%d\n", is_local_host(argv[i + 1]));
    } else {
        return 64;
    }
    mode_t now = umask(0);
    std::printf("umask=%03o\n", static_cast<unsigned>(now));
    return 0;
}
