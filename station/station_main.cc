// tarko_station: the controlling station. Drives the agent of one host, or of many
// hosts at a time, through the station protocol client.
#include "agentcmd.h"
#include "commands.h"
#include "fanout.h"
#include "options.h"
#include "outcome.h"

#include <cstdio>
#include <cstdlib>

namespace {

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
        return run_command(o, "local", false).exit_code();
    }
    if (o.nhosts == 1)
        return run_command(o, o.hosts[0].data(), false).exit_code();

    const char *hosts[MAX_HOSTS];
    for (std::size_t i = 0; i < o.nhosts; i++)
        hosts[i] = o.hosts[i].data();
    static HostOutcome outcomes[MAX_HOSTS];
    int failed = fanout_run(hosts, o.nhosts, o.jobs, host_job, &o, outcomes);
    fanout_table(stdout, hosts, o.nhosts, outcomes, outcome_meaning);
    if (failed > 0) {
        fprintf(stderr, "tarko_station: %d of %zu hosts failed\n", failed, o.nhosts);
        return code(Outcome::SomeHostFailed);
    }
    return 0;
}
