// simsite: a simulated site of several hosts on one machine, for tests and trials of the
// agent and the station; see simsite(1). Installed into every host view as /usr/bin/rsh,
// it is that host's remote shell.
#include "client.h"
#include "daemon.h"
#include "names.h"

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#ifndef SIMSITE_AUDIUM_DIR
#define SIMSITE_AUDIUM_DIR "/usr/local/share/simsite/audium"
#endif

static const char *const kUsage =
    "usage: simsite up [-f] [--net] [--agent PATH] [--audium DIR] [--java-home DIR]\n"
    "                  [--owner PID] SITE HOST...\n"
    "       simsite exec SITE HOST [--env NAME=VALUE]... [--unset NAME]...\n"
    "                  [--cwd DIR] [--argv0 NAME] -- COMMAND [ARGS...]\n"
    "       simsite link SITE HOST [--rate RATE] [--delay MS] | --clear\n"
    "       simsite status SITE\n"
    "       simsite path SITE HOST [PATH]\n"
    "       simsite down SITE\n";

static int usage(FILE *f = stderr, int status = 2) {
    fputs(kUsage, f);
    return status;
}

// A command line that cannot be used: what is wrong with it, then the usage.
__attribute__((format(printf, 1, 2))) static int usage_error(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    fputs("simsite: ", stderr);
    vfprintf(stderr, fmt, ap);
    fputc('\n', stderr);
    va_end(ap);
    return usage();
}

static int help() {
    printf("%s\n"
           "commands:\n"
           "  up       bring up a site of simulated hosts, each a copy-on-write view of this\n"
           "           machine with its own agent (-f: stay in the foreground; --net: every\n"
           "           host on the site's own network with sshd)\n"
           "  exec     run a command in a host's view, as that host's remote shell would\n"
           "  link     shape the line of a host of a networked site: rate and delay\n"
           "  status   print the site's daemon and the outside path of each host's view\n"
           "  path     print the outside path of a path in a host's view\n"
           "  down     end every process of the site and remove its views\n"
           "\n"
           "options:\n"
           "  -h, --help     this text\n"
           "  --version      the version of this program\n"
           "\n"
           "Installed as a host's /usr/bin/rsh, it is that host's remote shell:\n"
           "rsh [-n] [-l USER] HOST COMMAND [ARG...]. See simsite(1).\n",
           kUsage);
    return 0;
}

static std::string self_path() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return "";
    buf[n] = '\0';
    return buf;
}

static std::string dir_of(const std::string &path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

// The Audium stand-in as installed: the data directory beside the program's bin.
static std::string installed_audium(const std::string &self) {
    return dir_of(dir_of(self)) + "/share/tarko/audium";
}

// JAVA_HOME for the hosts: the home of the machine's own jar tool.
static std::string find_java_home() {
    const char *path = getenv("PATH");
    std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
    std::size_t i = 0;
    while (i <= dirs.size()) {
        std::size_t colon = dirs.find(':', i);
        if (colon == std::string::npos)
            colon = dirs.size();
        std::string cand = dirs.substr(i, colon - i) + "/jar";
        i = colon + 1;
        char real[PATH_MAX];
        if (access(cand.c_str(), X_OK) != 0 || !realpath(cand.c_str(), real))
            continue;
        std::string r = real;
        const std::string tail = "/bin/jar";
        if (r.size() > tail.size() && r.compare(r.size() - tail.size(), tail.size(), tail) == 0)
            return r.substr(0, r.size() - tail.size());
    }
    return "/usr/lib/jvm/default-java";
}

static bool check_name(const char *what, const char *name) {
    if (valid_name(name))
        return true;
    fprintf(stderr, "simsite: invalid %s name \"%s\" (letters, digits, '-' and '.')\n", what, name);
    return false;
}

static int cmd_up(int argc, char **argv) {
    SiteConfig cfg;
    cfg.rsh = self_path();
    cfg.agent = dir_of(cfg.rsh) + "/tarko_remote2";
    cfg.audium = SIMSITE_AUDIUM_DIR;
    cfg.java_home = find_java_home();
    if (const char *tz = getenv("TZ"))
        cfg.tz = tz;
    int i = 0;
    for (; i < argc && argv[i][0] == '-'; i++) {
        std::string o = argv[i];
        bool has_value = i + 1 < argc;
        if (o == "-f" || o == "--foreground")
            cfg.foreground = true;
        else if (o == "--net")
            cfg.net = true;
        else if (o == "--agent" && has_value)
            cfg.agent = argv[++i];
        else if (o == "--audium" && has_value) {
            cfg.audium = argv[++i];
            cfg.audium_given = true;
        } else if (o == "--java-home" && has_value)
            cfg.java_home = argv[++i];
        else if (o == "--owner" && has_value) {
            cfg.owner = static_cast<pid_t>(atoi(argv[++i]));
            if (cfg.owner <= 0) {
                fprintf(stderr, "simsite: invalid owner %s\n", argv[i]);
                return 1;
            }
        } else {
            fprintf(stderr, "simsite: up: unknown option %s\n", argv[i]);
            return usage();
        }
    }
    if (argc - i < 2)
        return usage_error(argc == i ? "up: no site and no host named" : "up: no host named");
    // Installed, the stand-in lies in the data directory beside the program; in a build
    // tree it is the source tree's.
    if (!cfg.audium_given && access(installed_audium(cfg.rsh).c_str(), R_OK | X_OK) == 0)
        cfg.audium = installed_audium(cfg.rsh);
    if (cfg.audium_given && access(cfg.audium.c_str(), R_OK | X_OK) != 0) {
        fprintf(stderr, "simsite: --audium %s: no such directory\n", cfg.audium.c_str());
        return 1;
    }
    cfg.name = argv[i++];
    if (!check_name("site", cfg.name.c_str()))
        return 1;
    for (; i < argc; i++) {
        if (!check_name("host", argv[i]))
            return 1;
        for (auto &h : cfg.hosts)
            if (h == argv[i]) {
                fprintf(stderr, "simsite: host %s named twice\n", argv[i]);
                return 1;
            }
        cfg.hosts.push_back(argv[i]);
    }
    if (cfg.hosts.size() > static_cast<std::size_t>(kMaxHosts)) {
        fprintf(stderr, "simsite: at most %d hosts\n", kMaxHosts);
        return 1;
    }
    if (access(cfg.agent.c_str(), R_OK) != 0) {
        fprintf(stderr, "simsite: no agent at %s\n", cfg.agent.c_str());
        return 1;
    }
    return site_up(cfg);
}

static int cmd_exec(int argc, char **argv) {
    if (argc < 2)
        return usage_error(argc == 0 ? "exec: no site and no host named" : "exec: no host named");
    Request r;
    r.cmd = "exec";
    const char *site = argv[0];
    r.host = argv[1];
    int i = 2;
    for (; i < argc; i++) {
        std::string o = argv[i];
        bool has_value = i + 1 < argc;
        if (o == "--") {
            i++;
            break;
        }
        if (o == "--env" && has_value && std::strchr(argv[i + 1], '='))
            r.env.push_back(argv[++i]);
        else if (o == "--unset" && has_value)
            r.unset.push_back(argv[++i]);
        else if (o == "--cwd" && has_value)
            r.cwd = argv[++i];
        else if (o == "--argv0" && has_value)
            r.argv0 = argv[++i];
        else if (o.starts_with("-"))
            return usage_error("exec: %s %s", argv[i],
                               has_value ? "is not an option of exec" : "wants a value");
        else
            return usage_error("exec: \"%s\" stands before \"--\": the command goes after it "
                               "(simsite exec SITE HOST -- COMMAND...)",
                               argv[i]);
    }
    if (i >= argc)
        return usage_error("exec: no command after \"--\"");
    if (!check_name("site", site) || !check_name("host", r.host.c_str()))
        return 255;
    for (; i < argc; i++)
        r.args.push_back(argv[i]);
    return remote_exec("simsite", site, r, 0, 1, 2, 255);
}

static int cmd_status(int argc, char **argv, bool path_only) {
    if (argc < (path_only ? 2 : 1))
        return usage_error("%s: no %s named", path_only ? "path" : "status",
                           argc == 0 ? "site" : "host");
    if (argc > (path_only ? 3 : 1))
        return usage_error("%s: too many arguments", path_only ? "path" : "status");
    if (!check_name("site", argv[0]))
        return 1;
    SiteStatus st;
    if (site_status(argv[0], &st) != 0)
        return 1;
    if (path_only) {
        std::string host = argv[1];
        bool known = false;
        for (auto &h : st.hosts)
            known = known || h == host;
        if (!known) {
            fprintf(stderr, "simsite: %s: unknown host\n", host.c_str());
            return 1;
        }
        printf("%s\n", outside_path(st.pid, host, argc > 2 ? argv[2] : "/").c_str());
        return 0;
    }
    printf("site %s\npid %d\n", argv[0], static_cast<int>(st.pid));
    for (auto &h : st.hosts)
        printf("host %s %s\n", h.c_str(), outside_path(st.pid, h, "").c_str());
    return 0;
}

// True when rate is a rate tc takes for a line: a number and a unit of bits or bytes
// per second.
static bool tc_rate(const std::string &rate) {
    std::size_t digits = rate.find_first_not_of("0123456789.");
    if (digits == 0 || digits == std::string::npos || rate.find('.') != rate.rfind('.') ||
        strtod(rate.c_str(), nullptr) <= 0)
        return false;
    std::string unit = rate.substr(digits);
    for (auto &c : unit)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    for (const char *u : {"bit", "kbit", "mbit", "gbit", "bps", "kbps", "mbps", "gbps"})
        if (unit == u)
            return true;
    return false;
}

static int cmd_link(int argc, char **argv) {
    if (argc < 3)
        return usage_error(argc < 2 ? "link: no site and host named"
                                    : "link: --rate, --delay or --clear wanted");
    if (!check_name("site", argv[0]) || !check_name("host", argv[1]))
        return 1;
    std::string rate = "-", delay = "0";
    bool clear = false;
    for (int i = 2; i < argc; i++) {
        std::string o = argv[i];
        bool has_value = i + 1 < argc;
        if (o == "--clear")
            clear = true;
        else if (o == "--rate" && has_value)
            rate = argv[++i];
        else if (o == "--delay" && has_value) {
            char *end = nullptr;
            long ms = strtol(argv[++i], &end, 10);
            if (*argv[i] == '\0' || *end != '\0' || ms < 0 || ms > 60000) {
                fprintf(stderr, "simsite: --delay wants milliseconds from 0 to 60000, not %s\n",
                        argv[i]);
                return 1;
            }
            delay = std::to_string(ms);
        } else {
            fprintf(stderr, "simsite: link: unknown option %s\n", argv[i]);
            return usage();
        }
    }
    if (clear == (rate != "-" || delay != "0"))
        return usage_error(clear ? "link: --clear goes alone" : "link: --rate or --delay wanted");
    if (rate != "-" && !tc_rate(rate)) {
        fprintf(stderr,
                "simsite: --rate wants a number and a unit: bit, kbit, mbit or gbit (bits per "
                "second), bps, kbps, mbps or gbps (bytes per second), as in 10mbit; not %s\n",
                rate.c_str());
        return 1;
    }
    if (clear)
        return site_link(argv[0], argv[1], {"clear"});
    return site_link(argv[0], argv[1], {"shape", rate, delay});
}

int main(int argc, char **argv) {
    // Descriptors 0 to 2 are handed to remote commands: have them open, so that no
    // socket or file of this program takes their place.
    for (int fd = 0; fd < 3; fd++)
        if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", O_RDWR) != fd)
            return 1;
    const char *base = std::strrchr(argv[0], '/');
    base = base ? base + 1 : argv[0];
    if (std::strcmp(base, "rsh") == 0)
        return rsh_main(argc, argv);
    if (argc < 2)
        return usage_error("no command given");
    std::string cmd = argv[1];
    if (cmd == "--help" || cmd == "-h" || cmd == "help")
        return help();
    if (cmd == "--version") {
        printf("simsite %s\n", TARKO_VERSION);
        return 0;
    }
    // Every command works on a site's namespaces or its root-only socket.
    if (geteuid() != 0) {
        fprintf(stderr, "simsite: must run as root (a site needs mount, process and network "
                        "namespaces)\n");
        return 1;
    }
    if (cmd == "up") {
        // Nothing inherited may stay open in the daemon.
        close_range(3, ~0U, 0);
        return cmd_up(argc - 2, argv + 2);
    }
    if (cmd == "exec")
        return cmd_exec(argc - 2, argv + 2);
    if (cmd == "link")
        return cmd_link(argc - 2, argv + 2);
    if (cmd == "status")
        return cmd_status(argc - 2, argv + 2, false);
    if (cmd == "path")
        return cmd_status(argc - 2, argv + 2, true);
    if (cmd == "down") {
        if (argc != 3)
            return usage_error(argc < 3 ? "down: no site named" : "down: too many arguments");
        if (!check_name("site", argv[2]))
            return 1;
        return site_down(argv[2]);
    }
    fprintf(stderr, "simsite: unknown command %s\n", cmd.c_str());
    return usage();
}
