#include "runs.h"

#include "client.h"
#include "commands.h"
#include "fanout.h"
#include "fleet.h"
#include "fold.h"
#include "outcome.h"
#include "state.h"
#include "sync.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace {

char failed_path[STATE_CAP + 16];

double now_seconds() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + t.tv_nsec / 1e9;
}

// The hosts whose code is not 0 become the record for @failed.
void record_failed(const Options &o, const char *const *hosts, const HostOutcome *out,
                   std::size_t n) {
    if (!o.state[0])
        return;
    std::vector<const char *> failed;
    for (std::size_t i = 0; i < n; i++)
        if (out[i].code != 0)
            failed.push_back(hosts[i]);
    if (int e = state_write_failed(o.state, failed.data(), failed.size()))
        fprintf(stderr, "tarko_station: warning: cannot record the failed hosts in %s (%s)\n",
                o.state, strerror(e));
}

int host_job(const char *host, void *arg) {
    return run_command(*static_cast<const Options *>(arg), host, true).exit_code();
}

// What the children of a fan-out write, held until all have ended so that alike lines
// fold; JSON lines go out at once.
struct Collector {
    const Options *o;
    const char *const *hosts;
    std::size_t n;
    std::vector<HostLine> lines;
    std::unordered_map<const char *, std::size_t> place; // a host's pointer -> its index
};

void collect(const char *host, int stream, const char *line, std::size_t len, void *ctx) {
    auto &c = *static_cast<Collector *>(ctx);
    if (c.o->json && stream == 1) {
        std::string s(line, len);
        s += '\n';
        fflush(stdout);
        ssize_t w = write(1, s.data(), s.size());
        (void)w;
        return;
    }
    auto at = c.place.find(host);
    std::size_t i = at == c.place.end() ? c.n : at->second;
    if (c.o->no_fold) {
        FILE *f = stream == 1 ? stdout : stderr;
        fprintf(f, "%s\n", headed_line(host, std::string(line, len)).c_str());
        fflush(f);
        return;
    }
    c.lines.push_back({i, stream, std::string(line, len)});
}

} // namespace

void locate_state(Options &o) {
    const char *hosts = getenv("TARKO_HOSTS");
    o.sources.hosts_file = hosts && *hosts ? hosts : "/etc/tarko/hosts";
    if (state_dir(getenv("XDG_STATE_HOME"), getenv("HOME"), o.state, sizeof o.state) != 0) {
        o.state[0] = '\0';
        return;
    }
    if (state_path(o.state, "failed", failed_path, sizeof failed_path) == 0)
        o.sources.failed_file = failed_path;
}

void prepare_state(Options &o) {
    if (!o.state[0]) {
        fprintf(stderr, "tarko_station: warning: no state directory (neither XDG_STATE_HOME "
                        "nor HOME is set); failed hosts and the audit log are not recorded\n");
        return;
    }
    if (int e = state_prepare(o.state)) {
        fprintf(stderr,
                "tarko_station: warning: cannot keep state in %s (%s); failed hosts and the "
                "audit log are not recorded\n",
                o.state, strerror(e));
        o.state[0] = '\0';
    }
}

int run_single(const Options &o) {
    const char *host = o.hosts.size() ? o.hosts[0].c_str() : "local";
    double start = now_seconds();
    int r = run_command(o, host, false).exit_code();
    HostOutcome out{r, now_seconds() - start};
    if (station::interrupted)
        return r;
    record_failed(o, &host, &out, 1);
    if (o.json) {
        json_host(host, r, out.seconds);
        json_total(&out, 1, r, out.seconds);
    }
    return r;
}

int run_fanout(const Options &o) {
    std::vector<const char *> hosts;
    for (auto &h : o.hosts)
        hosts.push_back(h.c_str());
    std::vector<HostOutcome> outcomes(hosts.size());
    Collector c{&o, hosts.data(), hosts.size(), {}, {}};
    for (std::size_t i = 0; i < hosts.size(); i++)
        c.place[hosts[i]] = i;
    fanout_set_sink(collect, &c);
    double start = now_seconds();
    if (o.command == Command::Sync)
        cmd::sync_read_local(o);
    fanout_run(hosts.data(), hosts.size(), o.jobs, host_job, const_cast<Options *>(&o),
               outcomes.data(), &station::interrupted);
    fanout_set_sink(nullptr, nullptr);
    return fleet_report(o, hosts.data(), outcomes.data(), c.lines, now_seconds() - start);
}

int fleet_report(const Options &o, const char *const *hosts, const HostOutcome *outcomes,
                 const std::vector<HostLine> &lines, double seconds) {
    for (auto &l : fold_lines(lines, hosts, !o.no_fold)) {
        FILE *f = l.stream == 1 ? stdout : stderr;
        fprintf(f, "%s\n", l.line.c_str());
    }
    fflush(stdout);
    fflush(stderr);
    if (!o.quiet) {
        FILE *f = o.json ? stderr : stdout;
        if (o.no_fold)
            fanout_table(f, hosts, o.hosts.size(), outcomes, outcome_meaning);
        else
            fold_table(f, hosts, o.hosts.size(), outcomes, outcome_meaning);
        fflush(f);
    }
    int status = fanout_status(outcomes, o.hosts.size());
    if (station::interrupted)
        return status;
    record_failed(o, hosts, outcomes, o.hosts.size());
    if (o.json) {
        for (std::size_t i = 0; i < o.hosts.size(); i++)
            json_host(hosts[i], outcomes[i].code, outcomes[i].seconds);
        json_total(outcomes, o.hosts.size(), status, seconds);
    }
    std::size_t failed = 0;
    for (std::size_t i = 0; i < o.hosts.size(); i++)
        failed += outcomes[i].code != 0;
    if (failed > 0)
        fprintf(stderr, "tarko_station: %zu of %zu hosts failed\n", failed, o.hosts.size());
    return status;
}

int print_hosts(const Options &o) {
    for (std::size_t i = 0; i < o.hosts.size(); i++)
        printf("%s\n", o.hosts[i].c_str());
    return 0;
}
