#include "options.h"

#include "pacer.h"
#include "protocol.h"
#include "transport.h"

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <sys/resource.h>

namespace {

struct CommandInfo {
    Command command;
    const char *name;
    std::size_t min_args, max_args;
};

constexpr CommandInfo COMMANDS[] = {
    {Command::Put, "put", 2, 3},          {Command::Get, "get", 2, 3},
    {Command::Sum, "sum", 2, 2},          {Command::Rm, "rm", 2, 2},
    {Command::Push, "push", 3, 3},        {Command::RmRemote, "rmremote", 3, 3},
    {Command::Deploy, "deploy", 2, 2},    {Command::Undeploy, "undeploy", 1, 1},
    {Command::Sync, "sync", 2, SIZE_MAX}, {Command::Hosts, "hosts", 0, 1},
    {Command::Rollout, "rollout", 0, 2},
};

int fail(char *err, std::size_t cap, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(err, cap, fmt, ap);
    va_end(ap);
    return 64;
}

const char *base_name(const char *path) {
    const char *slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
}

// Checks one text against the agent's capacity for it; 0 or 64 with the reason.
int check_text(const char *what, const char *text, std::size_t cap, bool may_be_empty, char *err,
               std::size_t errcap) {
    std::size_t n = strlen(text);
    if (n == 0 && !may_be_empty)
        return fail(err, errcap, "%s must not be empty", what);
    if (n > cap - 1)
        return fail(err, errcap, "%s \"%s\" is %zu bytes long; the agent takes at most %zu", what,
                    text, n, cap - 1);
    return 0;
}

// A host expression as given, applied once the whole command line is read.
struct HostExpr {
    const char *text;
    bool exclude;
};

int add_expr(std::vector<HostExpr> &e, const char *text, bool exclude) {
    e.push_back({text, exclude});
    return 0;
}

// Expands every -H expression in order, then takes out those of -x.
int apply_hosts(const std::vector<HostExpr> &e, Options &o, char *err, std::size_t errcap) {
    HostSet set;
    HostFault fault;
    for (int pass = 0; pass < 2; pass++)
        for (auto &x : e) {
            if (x.exclude != (pass == 1))
                continue;
            const char *where = x.exclude ? "-x" : "-H";
            int r = x.exclude ? hostset_remove(set, x.text, where, o.sources, fault)
                              : hostset_add(set, x.text, where, o.sources, fault);
            if (r != 0) {
                hostfault_format(fault, err, errcap);
                return 64;
            }
        }
    for (auto &x : e)
        o.hosts_named = o.hosts_named || !x.exclude;
    o.hosts = std::move(set.names);
    return 0;
}

int set_jobs(const char *text, Options &o, char *err, std::size_t errcap) {
    char *end = nullptr;
    errno = 0;
    long n = strtol(text, &end, 10);
    int most = jobs_limit();
    if (*text == '\0' || *end != '\0' || n < 1)
        return fail(err, errcap, "-j wants a number from 1 to %d, not \"%s\"", most, text);
    if (n > most || errno == ERANGE) {
        rlimit rl{};
        getrlimit(RLIMIT_NOFILE, &rl);
        return fail(err, errcap,
                    "-j %s is more hosts at a time than the station can hold open: its open "
                    "files are limited to %llu (ulimit -n), enough for -j %d",
                    text, static_cast<unsigned long long>(rl.rlim_cur), most);
    }
    o.jobs = static_cast<int>(n);
    return 0;
}

int set_seconds(const char *text, Options &o, char *err, std::size_t errcap) {
    char *end = nullptr;
    long n = strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || n < 1 || n > 3600)
        return fail(err, errcap, "-t wants seconds from 1 to 3600, not \"%s\"", text);
    o.answer_seconds = static_cast<int>(n);
    return 0;
}

int set_agent(const char *text, Options &o, char *err, std::size_t errcap) {
    if (strspn(text, " \t") == strlen(text))
        return fail(err, errcap, "the agent command is empty");
    o.agent = text;
    return 0;
}

int set_number(const char *opt, const char *text, int max, int &out, char *err,
               std::size_t errcap) {
    char *end = nullptr;
    long n = strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || n < 1 || n > max)
        return fail(err, errcap, "%s wants a number from 1 to %d, not \"%s\"", opt, max, text);
    out = static_cast<int>(n);
    return 0;
}

bool all_digits(const char *text) {
    return *text && strspn(text, "0123456789") == strlen(text);
}

// Checks the arguments of the command against the agent's limits.
int check_args(Options &o, char *err, std::size_t errcap) {
    const auto &a = o.args;
    std::size_t nargs = a.size();
    int r = 0;
    switch (o.command) {
    case Command::Put:
        if ((r = check_text("DIR", a[1], DIR_CAP, false, err, errcap)))
            return r;
        return check_text("NAME", nargs == 3 ? a[2] : base_name(a[0]), NAME_CAP, false, err,
                          errcap);
    case Command::Get:
    case Command::Sum:
    case Command::Rm:
        if ((r = check_text("DIR", a[0], DIR_CAP, false, err, errcap)))
            return r;
        return check_text("NAME", a[1], NAME_CAP, false, err, errcap);
    case Command::Push:
    case Command::RmRemote:
        if ((r = check_text("VIA-HOST", a[0], HOST_CAP, false, err, errcap)))
            return r;
        if ((r = check_text("DIR", a[1], DIR_CAP, false, err, errcap)))
            return r;
        return check_text("NAME", a[2], NAME_CAP, false, err, errcap);
    case Command::Deploy:
    case Command::Undeploy:
        return check_text("APP", a[0], APPL_CAP, false, err, errcap);
    case Command::Sync:
        if ((r = check_text("DIR", a[nargs - 1], DIR_CAP, false, err, errcap)))
            return r;
        if (o.recursive)
            return nargs == 2 ? 0 : fail(err, errcap, "sync -r wants LOCALDIR REMOTEDIR");
        for (std::size_t i = 0; i + 1 < nargs; i++)
            if ((r = check_text("NAME", base_name(a[i]), NAME_CAP, false, err, errcap)))
                return r;
        return 0;
    case Command::Rollout:
        return nargs == 2 ? check_text("APP", a[0], APPL_CAP, false, err, errcap) : 0;
    case Command::Hosts:
    case Command::None:
        break;
    }
    return 0;
}

} // namespace

int jobs_limit() {
    // Beside the two pipes of each host: the standard streams, the fan-out's wake-up
    // pipe, a pipe pair while a child starts, and some for what a library may open.
    constexpr rlim_t RESERVED = 16;
    rlimit rl{};
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY)
        return 1 << 20;
    if (rl.rlim_cur <= RESERVED + 2)
        return 1;
    rlim_t n = (rl.rlim_cur - RESERVED) / 2;
    return n > (1 << 20) ? 1 << 20 : static_cast<int>(n);
}

void raise_open_files() {
    rlimit rl{};
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
}

const char *command_name(Command c) {
    for (auto &ci : COMMANDS)
        if (ci.command == c)
            return ci.name;
    return "";
}

int parse_options(int argc, char **argv, const char *env_agent, Options &o, char *err,
                  std::size_t errcap) {
    err[0] = '\0';
    std::vector<HostExpr> exprs;
    const char *agent = env_agent && *env_agent ? env_agent : DEFAULT_AGENT;
    bool options_done = false, agent_given = false;
    int r = 0;
    for (int i = 1; i < argc; i++) {
        const char *arg = argv[i];
        std::string_view a(arg);
        // Options may stand before or after the command, until "--".
        if (!options_done && a.size() > 1 && a[0] == '-') {
            auto value = [&](std::string_view name, const char *&out) -> int {
                // "-Hx", "-H x", "--agent=x", "--agent x"
                if (a.size() > name.size()) {
                    out = arg + name.size() + (a[name.size()] == '=' ? 1 : 0);
                    return 0;
                }
                if (i + 1 >= argc)
                    return fail(err, errcap, "%s wants a value", arg);
                out = argv[++i];
                return 0;
            };
            const char *v = nullptr;
            if (a == "--") {
                options_done = true;
            } else if (a == "--help" || a == "-h") {
                o.help = true;
            } else if (a == "--version") {
                o.version = true;
            } else if (a == "-q" || a == "--quiet") {
                o.quiet = true;
            } else if (a == "--no-progress") {
                o.no_progress = true;
            } else if (a == "--json") {
                o.json = true;
            } else if (a == "--no-fold") {
                o.no_fold = true;
            } else if (a == "-v" || a == "--verbose") {
                o.verbose = true;
            } else if (a == "--force") {
                o.force = true;
            } else if (a == "--ssh") {
                o.ssh = true;
            } else if (a.starts_with("--hosts") && (a.size() == 7 || a[7] == '=')) {
                if ((r = value("--hosts", v)) || (r = add_expr(exprs, v, false)))
                    return r;
            } else if (a.starts_with("-H")) {
                if ((r = value("-H", v)) || (r = add_expr(exprs, v, false)))
                    return r;
            } else if (a.starts_with("--exclude") && (a.size() == 9 || a[9] == '=')) {
                // After -r, rsync's habit reads it as files: refused rather than guessed,
                // with the option that means files.
                if (o.recursive)
                    return fail(err, errcap,
                                "--exclude leaves out hosts; after -r, leave out files with "
                                "--skip PATTERN (and hosts with -x)");
                if ((r = value("--exclude", v)) || (r = add_expr(exprs, v, true)))
                    return r;
            } else if (a.starts_with("-x")) {
                if ((r = value("-x", v)) || (r = add_expr(exprs, v, true)))
                    return r;
            } else if (a.starts_with("--jobs") && (a.size() == 6 || a[6] == '=')) {
                if ((r = value("--jobs", v)) || (r = set_jobs(v, o, err, errcap)))
                    return r;
            } else if (a.starts_with("-j")) {
                if ((r = value("-j", v)) || (r = set_jobs(v, o, err, errcap)))
                    return r;
            } else if (a.starts_with("--timeout") && (a.size() == 9 || a[9] == '=')) {
                if ((r = value("--timeout", v)) || (r = set_seconds(v, o, err, errcap)))
                    return r;
            } else if (a.starts_with("-t")) {
                if ((r = value("-t", v)) || (r = set_seconds(v, o, err, errcap)))
                    return r;
            } else if (a == "-r" || a == "--recursive") {
                o.recursive = true;
            } else if (a == "-n" || a == "--dry-run") {
                o.dry_run = true;
            } else if (a.starts_with("--skip") && (a.size() == 6 || a[6] == '=')) {
                if ((r = value("--skip", v)))
                    return r;
                o.excludes.push_back(v);
            } else if (a.starts_with("--streams") && (a.size() == 9 || a[9] == '=')) {
                if ((r = value("--streams", v)) ||
                    (r = set_number("--streams", v, MAX_STREAMS, o.streams, err, errcap)))
                    return r;
            } else if (a.starts_with("--bwlimit") && (a.size() == 9 || a[9] == '=')) {
                if ((r = value("--bwlimit", v)))
                    return r;
                if (station::parse_rate(v, &o.bwlimit) != 0)
                    return fail(err, errcap,
                                "--bwlimit wants a rate like 100M, 12.5MB or 50Mbit, not \"%s\"",
                                v);
            } else if (a == "--tree") {
                // "--tree K" when a number follows, else doubling.
                o.tree = 1;
                if (i + 1 < argc && all_digits(argv[i + 1]) &&
                    (r = set_number("--tree", argv[++i], MAX_TREE_FANOUT, o.tree, err, errcap)))
                    return r;
            } else if (a.starts_with("--tree=")) {
                if ((r = set_number("--tree", arg + 7, MAX_TREE_FANOUT, o.tree, err, errcap)))
                    return r;
            } else if (a.starts_with("--agent") && (a.size() == 7 || a[7] == '=')) {
                if ((r = value("--agent", v)))
                    return r;
                agent = v;
                agent_given = true;
            } else if ((r = rollout_option(argc, argv, i, o.rollout, err, errcap)) >= 0) {
                if (r)
                    return r;
            } else {
                return fail(err, errcap, "unknown option %s", arg);
            }
            continue;
        }
        if (o.command == Command::None) {
            for (auto &ci : COMMANDS)
                if (a == ci.name)
                    o.command = ci.command;
            if (o.command == Command::None)
                return fail(err, errcap, "unknown command \"%s\"", arg);
            continue;
        }
        o.args.push_back(arg);
    }
    if (o.help || o.version)
        return 0;
    if (o.command == Command::Hosts && o.args.size() == 1)
        add_expr(exprs, o.args[0], false);
    if ((r = apply_hosts(exprs, o, err, errcap)))
        return r;
    const char *transport = getenv("TARKO_TRANSPORT");
    if (transport && *transport && strcmp(transport, "ssh") != 0 && strcmp(transport, "rsh") != 0)
        return fail(err, errcap, "TARKO_TRANSPORT is \"%s\"; it may be ssh or rsh", transport);
    if (transport && strcmp(transport, "ssh") == 0 && !agent_given)
        o.ssh = true;
    if (o.ssh && agent_given)
        return fail(err, errcap, "--ssh and --agent exclude each other");
    if (o.ssh) {
        char ssh[1024] = ""; // its directory is at most 73 bytes long
        r = ssh_agent_command(o.answer_seconds, ssh, sizeof ssh, err, errcap);
        o.agent = ssh;
    } else
        r = set_agent(agent, o, err, errcap);
    if (r)
        return 64;
    if (o.command == Command::None)
        return fail(err, errcap, "no command given");
    for (auto &ci : COMMANDS) {
        if (ci.command != o.command)
            continue;
        if (o.args.size() < ci.min_args)
            return fail(err, errcap, "%s: too few arguments", ci.name);
        if (o.args.size() > ci.max_args)
            return fail(err, errcap, "%s: too many arguments", ci.name);
    }
    if (o.tree && o.command != Command::Put && o.command != Command::Sync)
        return fail(err, errcap, "--tree goes with put and sync only");
    if (o.tree && o.recursive)
        return fail(err, errcap, "--tree does not go with sync -r");
    if ((o.recursive || o.dry_run || !o.excludes.empty()) && o.command != Command::Sync)
        return fail(err, errcap, "-r, -n and --skip go with sync only");
    if (!o.excludes.empty() && !o.recursive)
        return fail(err, errcap, "--skip goes with sync -r");
    if (int most = jobs_limit(); o.command == Command::Sync && o.streams > 1 &&
                                 static_cast<long long>(o.jobs) * o.streams > most)
        return fail(err, errcap,
                    "-j %d with --streams %d is more connections at a time than the station "
                    "can hold open (ulimit -n): at most %d in all",
                    o.jobs, o.streams, most);
    return check_args(o, err, errcap);
}

void print_usage(FILE *f) {
    fputs("usage: tarko_station [-H HOSTS] [-x HOSTS] [-j N] [-t SECONDS]\n"
          "                     [--agent COMMAND | --ssh] [-q] [-v] [--json] [--no-fold]\n"
          "                     [--no-progress] [--force] [--bwlimit RATE] COMMAND ARGUMENT...\n"
          "\n"
          "commands:\n"
          "  put LOCAL DIR [NAME]        store the local file as DIR/NAME on the host\n"
          "                              (NAME defaults to the last part of LOCAL)\n"
          "  get DIR NAME [LOCAL]        fetch DIR/NAME into LOCAL (default: NAME)\n"
          "  sum DIR NAME                print checksum, length and path, like cksum\n"
          "  rm DIR NAME                 delete DIR/NAME on the host\n"
          "  push VIA-HOST DIR NAME      have the host send its DIR/NAME on to VIA-HOST\n"
          "  rmremote VIA-HOST DIR NAME  have the host delete DIR/NAME on VIA-HOST\n"
          "  deploy APP ARCHIVE          deploy the Audium application APP from a jar\n"
          "                              holding APP/data/... and APP/java/...\n"
          "  undeploy APP                withdraw the Audium application APP\n"
          "  sync LOCAL... DIR           put the files whose length or checksum differ\n"
          "  sync -r LOCALDIR DIR        the same for every regular file of a tree\n"
          "  hosts [HOSTS]               print the hosts that -H and HOSTS name, less -x\n"
          "  rollout APP ARCHIVE         deploy APP over the hosts in steps, with checks, a\n"
          "                              failure budget and rollback on halt: --canary N,\n"
          "                              --steps LIST, --plan, --check COMMAND, --check-tries\n"
          "                              N, --check-interval S, --check-timeout S, --bake S,\n"
          "                              --max-failures N|P%, --on-failure halt|rollback,\n"
          "                              --redeploy, --previous ARCHIVE, --keep N\n"
          "  rollout --status [ID] | --resume ID | --rollback ID\n"
          "                              a rollout's states; carry it on; roll it back\n"
          "\n"
          "options:\n"
          "  -H, --hosts HOSTS    the hosts to work on: names, ranges (ivr[01-20,31]),\n"
          "                       @group of the host file ($TARKO_HOSTS, else\n"
          "                       /etc/tarko/hosts), @SOURCE:GROUP (what a line\n"
          "                       \"@SOURCE = COMMAND\" of it prints for GROUP), @failed\n"
          "                       (the hosts that failed last time), ^FILE (one\n"
          "                       expression a line); with more than one host each gets\n"
          "                       its own connection\n"
          "  -x, --exclude HOSTS  leave these hosts out\n"
          "  -j, --jobs N         hosts served at a time (default 4; as many as the\n"
          "                       station's open files allow, two for each)\n"
          "  -t, --timeout N      seconds a host may take to answer (default 15)\n"
          "  --agent COMMAND      how to start the agent; words split on blanks, {host}\n"
          "                       replaced by the host name (default: $TARKO_AGENT, else\n"
          "                       \"/usr/bin/rsh {host} /usr/local/bin/tarko_remote2\")\n"
          "  --ssh                start agents with \"ssh -o BatchMode=yes -T {host}\n"
          "                       /usr/local/bin/tarko_remote2\", one shared connection\n"
          "                       per host kept for a minute (also TARKO_TRANSPORT=ssh)\n"
          "  -q, --quiet          print only failures, no summary table\n"
          "  -v, --verbose        show the agents' log lines for every request\n"
          "  --json               one JSON object per line on standard output\n"
          "  --no-fold            one line per host instead of folded lines\n"
          "  --no-progress        no progress bar, even on a terminal\n"
          "  -r, --recursive      sync a directory tree\n"
          "  --skip PATTERN       sync -r leaves out the files that match (shell pattern;\n"
          "                       repeatable)\n"
          "  -n, --dry-run        sync only says what it would put\n"
          "  --streams N          sync over N connections per host (default 1, at most 64)\n"
          "  --tree [K]           put or sync many hosts through a relay tree: hosts that\n"
          "                       hold the file push it on, each to K more per round\n"
          "                       (default 1, doubling the holders)\n"
          "  --bwlimit RATE       limit the data per connection (100M, 12.5MB: bytes per\n"
          "                       second; 50Mbit: bits per second)\n"
          "  --force              deploy an archive without checking its layout\n"
          "  -h, --help           this text\n"
          "  --version            the version of this program\n"
          "\n"
          "Exit status: 0 on success; the agent's status code (2-23) when it refused;\n"
          "64 usage; 65 local file changed while sent; 66 local file unreadable or not\n"
          "a jar; 69 host did not answer; 73 local file cannot be written; 74\n"
          "connection to the agent lost. With several hosts: 0 all succeeded, 1 some\n"
          "host failed a request, 69 some host could not be reached (and none failed a\n"
          "request). rollout: 0 all updated, 1 halted and rolled back, 3 halted with a\n"
          "mixed fleet. See tarko_station(1).\n",
          f);
}
