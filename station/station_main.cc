// tarko_station: the controlling station. Drives the agent of one host, or of many
// hosts at a time, through the station protocol client.
#include "agentcmd.h"
#include "client.h"
#include "commands.h"
#include "fleet.h"
#include "options.h"
#include "outcome.h"
#include "rollout.h"
#include "runs.h"
#include "treeput.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

void on_ending_signal(int sig) {
    if (!station::interrupted)
        station::interrupted = sig;
}

// SIGINT, SIGTERM and SIGHUP end the station in order: the exchanges in progress give
// up, the agents' input is closed so that each can answer and clean up, and what
// finished is reported. No SA_RESTART: a blocked wait must notice at once.
void catch_ending_signals() {
    struct sigaction sa {};
    sa.sa_handler = on_ending_signal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaction(sig, &sa, nullptr);
}

// After an interrupt: one line, and the status of the shell's convention.
int interrupted_exit() {
    fprintf(stderr, "tarko_station: interrupted\n");
    return 128 + station::interrupted;
}

// The whole command line, for the audit log.
const char *join_command_line(int argc, char **argv) {
    static std::string line;
    for (int i = 0; i < argc; i++) {
        if (i)
            line += ' ';
        line += argv[i];
    }
    return line.c_str();
}

} // namespace

int main(int argc, char **argv) {
    Options o;
    char err[1024];
    raise_open_files();
    locate_state(o);
    o.command_line = join_command_line(argc, argv);
    if (parse_options(argc, argv, getenv("TARKO_AGENT"), o, err, sizeof err) != 0) {
        fprintf(stderr, "tarko_station: %s\n", err);
        fprintf(stderr, "Try 'tarko_station --help' for more information.\n");
        return code(Outcome::Usage);
    }
    if (o.help) {
        print_usage(stdout);
        return 0;
    }
    if (o.version) {
        printf("tarko_station %s\n", TARKO_VERSION);
        return 0;
    }
    if (o.command == Command::Hosts)
        return print_hosts(o);
    if (o.command == Command::Rollout) {
        catch_ending_signals();
        int r = run_rollout(o);
        if (station::interrupted)
            fprintf(stderr, "tarko_station: interrupted\n");
        return r;
    }
    if (o.hosts.empty() && o.hosts_named) {
        // @failed after a run without failures, or everything excluded: nothing to do.
        fprintf(stderr, "tarko_station: no host left to work on\n");
        return 0;
    }
    if (o.hosts.empty() && agent_needs_host(o.agent.c_str())) {
        fprintf(stderr, "tarko_station: no host given: name it with -H HOST, or give an "
                        "agent command without {host}\n");
        fprintf(stderr, "Try 'tarko_station --help' for more information.\n");
        return code(Outcome::Usage);
    }
    // Local files are checked once, before any host is contacted.
    if (int r = check_local_files(o, err, sizeof err); r != 0) {
        fprintf(stderr, "tarko_station: %s\n", err);
        return r;
    }
    prepare_state(o);
    catch_ending_signals();
    int r = o.hosts.size() <= 1    ? run_single(o)
            : o.tree && !o.dry_run ? run_tree(o)
                                   : run_fanout(o);
    if (station::interrupted) {
        fflush(stdout);
        return interrupted_exit();
    }
    return r;
}
