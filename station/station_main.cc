// tarko_station: the controlling station. Drives the agent of one host, or of many
// hosts at a time, through the station protocol client.
#include "agentcmd.h"
#include "client.h"
#include "commands.h"
#include "fanout.h"
#include "options.h"
#include "outcome.h"
#include "treeput.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>

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

int host_job(const char *host, void *arg) {
    return run_command(*static_cast<const Options *>(arg), host, true).exit_code();
}

} // namespace

int main(int argc, char **argv) {
    static Options o; // about 16 kB of host names: not for the stack of a small program
    char err[512];
    if (parse_options(argc, argv, getenv("TARKO_AGENT"), o, err, sizeof err) != 0) {
        fprintf(stderr, "tarko_station: %s\n", err);
        fprintf(stderr, "Try 'tarko_station --help' for more information.\n");
        return code(Outcome::Usage);
    }
    if (o.help) {
        print_usage(stdout);
        return 0;
    }
    if (o.nhosts == 0) {
        if (agent_needs_host(o.agent)) {
            fprintf(stderr, "tarko_station: no host given: name it with -H HOST, or give an "
                            "agent command without {host}\n");
            fprintf(stderr, "Try 'tarko_station --help' for more information.\n");
            return code(Outcome::Usage);
        }
    }
    catch_ending_signals();
    if (o.nhosts <= 1) {
        int r = run_command(o, o.nhosts ? o.hosts[0].data() : "local", false).exit_code();
        return station::interrupted ? interrupted_exit() : r;
    }

    if (o.tree && !o.dry_run) {
        int r = run_tree(o);
        return station::interrupted ? interrupted_exit() : r;
    }

    const char *hosts[MAX_HOSTS];
    for (std::size_t i = 0; i < o.nhosts; i++)
        hosts[i] = o.hosts[i].data();
    static HostOutcome outcomes[MAX_HOSTS];
    int failed = fanout_run(hosts, o.nhosts, o.jobs, host_job, &o, outcomes, &station::interrupted);
    fanout_table(stdout, hosts, o.nhosts, outcomes, outcome_meaning);
    if (station::interrupted) {
        fflush(stdout);
        return interrupted_exit();
    }
    if (failed > 0) {
        fprintf(stderr, "tarko_station: %d of %zu hosts failed\n", failed, o.nhosts);
        return code(Outcome::SomeHostFailed);
    }
    return 0;
}
