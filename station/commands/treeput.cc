#include "treeput.h"

#include "client.h"
#include "commands.h"
#include "fanout.h"
#include "fleet.h"
#include "fold.h"
#include "outcome.h"
#include "pipeline.h"
#include "relaytree.h"
#include "runs.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

namespace {

struct File {
    std::string local, dir, name;
    station::FileInfo sum;
};

struct Host {
    const char *name;
    std::unique_ptr<station::Agent> agent; // null when it could not be reached
    bool broken = false;                   // its connection failed mid-exchange
    int code = 0;                          // 0, or the last failure that left it without a file
    double seconds = 0;                    // when it had its last file
};

double now_s() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// What a failed request came to, as an exit code and its words.
int failure(const station::PipeRequest &r, char *buf, std::size_t cap) {
    using station::PipeFail;
    switch (r.fail) {
    case PipeFail::None:
        snprintf(buf, cap, "%d %s", code(r.status), status_meaning(r.status));
        return code(r.status);
    case PipeFail::Local:
        snprintf(buf, cap, "cannot send %s (%s)", r.local.c_str(), strerror(r.local_errno));
        return code(Outcome::LocalUnreadable);
    case PipeFail::Changed:
        snprintf(buf, cap, "%s changed while it was sent; the host discarded it", r.local.c_str());
        return code(Outcome::LocalChanged);
    case PipeFail::Protocol:
        snprintf(buf, cap, "the agent answered out of turn");
        return code(Outcome::Protocol);
    case PipeFail::Timeout:
        snprintf(buf, cap, "no answer from the agent in time");
        return code(Outcome::ConnectionLost);
    default:
        snprintf(buf, cap, "the connection to the agent ended");
        return code(Outcome::ConnectionLost);
    }
}

// The lines of a tree run, held for folding as a fan-out's are.
struct Run {
    const Options &o;
    std::vector<Host> hosts;
    std::vector<HostLine> lines;
    double start = 0;
};

// A result of host i: on standard output (standard error with --json) unless -q.
void say_result(Run &run, std::size_t i, const char *text) {
    if (!run.o.quiet)
        run.lines.push_back({i, run.o.json ? 2 : 1, text});
}

void say_failure(Run &run, std::size_t i, const char *text) {
    run.lines.push_back({i, 2, std::string("tarko_station: ") + text});
}

void journal(Run &run, std::size_t i, const char *command, const char *path, int status,
             const station::FileInfo *sum) {
    RequestNote n;
    n.command = command;
    n.path = path;
    n.status = status;
    if (sum) {
        n.bytes = sum->length;
        n.has_checksum = true;
        n.checksum = sum->checksum;
    }
    journal_request(run.o, run.hosts[i].name, n);
}

long long now_ms() {
    return static_cast<long long>(now_s() * 1000);
}

// An agent left without a request ends itself 120 s after its last one: a connection
// idle this long gets a sum to keep it.
constexpr long long KEEP_ALIVE_MS = 60000;

// The spread of one file, driven from the pipelines' tick: every answer that comes in is
// recorded at once and the transfers it makes possible go out on the next tick.
struct Spread {
    Run &run;
    const File &f;
    char rpath[200];
    station::TreeState s;
    std::vector<station::Hop> hops;                      // every transfer handed out
    std::vector<std::vector<station::PipeRequest>> reqs; // per host, over its connection
    std::vector<std::vector<int>> hop_of;                // per request: its hop, or -1 for a sum
    std::vector<std::size_t> reported;                   // per host: requests dealt with
    std::vector<long long> idle_since;                   // per host: when its last request ended
    std::vector<int> pipe_of;                            // per host: its pipeline, or -1
    std::vector<station::Pipeline> ps;
    std::vector<station::Pacer> pacers;
    std::vector<std::vector<const char *>> served; // per source (0: the station): targets
};

void append(Spread &sp, std::size_t i, station::PipeRequest r, int hop) {
    sp.reqs[i].push_back(std::move(r));
    sp.hop_of[i].push_back(hop);
    station::Pipeline &p = sp.ps[static_cast<std::size_t>(sp.pipe_of[i])];
    p.reqs = sp.reqs[i].data();
    p.n = sp.reqs[i].size();
}

void record(Spread &sp, std::size_t i, std::size_t k) {
    Run &run = sp.run;
    const station::PipeRequest &r = sp.reqs[i][k];
    sp.idle_since[i] = now_ms();
    if (pipe_fail_ends_connection(r.fail)) {
        run.hosts[i].broken = true;
        station::tree_lost(sp.s, static_cast<int>(i));
    }
    if (sp.hop_of[i][k] < 0)
        return; // a sum that kept the connection
    const station::Hop &hop = sp.hops[static_cast<std::size_t>(sp.hop_of[i][k])];
    auto to = static_cast<std::size_t>(hop.to);
    bool ok = r.fail == station::PipeFail::None && r.status == Status::Ok;
    bool push = hop.from != station::FROM_STATION;
    const char *from = push ? run.hosts[static_cast<std::size_t>(hop.from)].name : "the station";
    station::tree_record(sp.s, hop, ok);
    char line[1024];
    if (ok) {
        run.hosts[to].seconds = now_s() - run.start;
        snprintf(line, sizeof line, "put %s: 0 success (%d bytes)", sp.rpath, sp.f.sum.length);
        say_result(run, to, line);
        journal(run, to, push ? "push" : "put", sp.rpath, 0, &sp.f.sum);
        sp.served[static_cast<std::size_t>(hop.from + 1)].push_back(run.hosts[to].name);
        return;
    }
    char why[512];
    int c = failure(r, why, sizeof why);
    snprintf(line, sizeof line, "%s %s from %s: %s%s", push ? "push" : "put", sp.rpath, from, why,
             push ? "; the station sends it itself" : "");
    say_failure(run, to, line);
    journal(run, to, push ? "push" : "put", sp.rpath, c, nullptr);
    if (!push)
        run.hosts[to].code = c;
}

// Deals with the answers that came in since the last call.
void collect(Spread &sp) {
    for (std::size_t i = 0; i < sp.reqs.size(); i++)
        if (sp.pipe_of[i] >= 0)
            while (sp.reported[i] < sp.ps[static_cast<std::size_t>(sp.pipe_of[i])].answered)
                record(sp, i, sp.reported[i]++);
}

void tick(void *ctx) {
    Spread &sp = *static_cast<Spread *>(ctx);
    collect(sp);
    std::vector<station::Hop> now;
    station::tree_next(sp.s, now);
    for (const station::Hop &hop : now) {
        station::PipeRequest r;
        r.dir = sp.f.dir;
        r.name = sp.f.name;
        std::size_t conn;
        if (hop.from == station::FROM_STATION) {
            conn = static_cast<std::size_t>(hop.to);
            r.op = station::PipeOp::Put;
            r.local = sp.f.local;
        } else {
            conn = static_cast<std::size_t>(hop.from);
            r.op = station::PipeOp::Push;
            r.host = sp.run.hosts[static_cast<std::size_t>(hop.to)].name;
            r.expect = sp.f.sum;
        }
        sp.hops.push_back(hop);
        if (sp.pipe_of[conn] < 0 || sp.run.hosts[conn].broken) {
            // No connection to send it over: it fails as a connection that ended does.
            station::tree_record(sp.s, hop, false);
            continue;
        }
        append(sp, conn, std::move(r), static_cast<int>(sp.hops.size() - 1));
    }
    long long t = now_ms();
    for (std::size_t i = 0; i < sp.reqs.size(); i++) {
        if (sp.pipe_of[i] < 0 || sp.run.hosts[i].broken)
            continue;
        const station::Pipeline &p = sp.ps[static_cast<std::size_t>(sp.pipe_of[i])];
        if (p.answered == p.n && t - sp.idle_since[i] >= KEEP_ALIVE_MS) {
            station::PipeRequest r;
            r.dir = sp.f.dir;
            r.name = sp.f.name;
            append(sp, i, std::move(r), -1);
            sp.idle_since[i] = t;
        }
    }
}

// The line that says who served whom: "tree PATH: HOSTS from SOURCE, ...".
void say_served(const Spread &sp) {
    std::string line;
    for (std::size_t src = 0; src < sp.served.size(); src++) {
        const auto &to = sp.served[src];
        if (to.empty())
            continue;
        const char *from = src == 0 ? "the station" : sp.run.hosts[src - 1].name;
        if (sp.run.o.no_fold) {
            for (const char *h : to)
                line += std::string(line.empty() ? "" : ", ") + h + " from " + from;
        } else {
            line += (line.empty() ? "" : ", ") + fold_hosts(to) + " from " + from;
        }
    }
    if (!line.empty() && !sp.run.o.quiet)
        fprintf(sp.run.o.json ? stderr : stdout, "tree %s: %s\n", sp.rpath, line.c_str());
}

// Brings one file to every host that lacks it. holds[i] says which hosts already have
// it (they serve from the start).
void spread(Run &run, const File &f, const std::vector<char> &holds) {
    std::size_t n = run.hosts.size();
    Spread sp{run, f, {}, station::tree_start(n, run.o.tree), {}, {}, {}, {}, {}, {}, {}, {}, {}};
    snprintf(sp.rpath, sizeof sp.rpath, "%s/%s", f.dir.c_str(), f.name.c_str());
    sp.reqs.resize(n);
    sp.hop_of.resize(n);
    sp.reported.assign(n, 0);
    sp.idle_since.assign(n, now_ms());
    sp.pipe_of.assign(n, -1);
    sp.pacers.resize(n);
    sp.served.resize(n + 1);
    for (std::size_t i = 0; i < n; i++) {
        Host &h = run.hosts[i];
        if (!h.agent || h.broken)
            sp.s.hosts[i] = station::TreeHost::Failed;
        else if (holds[i])
            sp.s.hosts[i] = station::TreeHost::Holding;
        if (!h.agent || h.broken)
            continue;
        station::pacer_start(sp.pacers[i], run.o.bwlimit);
        sp.pipe_of[i] = static_cast<int>(sp.ps.size());
        sp.ps.push_back(station::pipeline_of(*h.agent, nullptr, 0,
                                             run.o.bwlimit > 0 ? &sp.pacers[i] : nullptr));
    }
    station::pipeline_run(sp.ps.data(), sp.ps.size(), station::PipeTick{tick, &sp});
    collect(sp);
    say_served(sp);
    // A host left without the file whose own attempts said nothing (its connection broke
    // before, or the run was interrupted) still counts as failed.
    for (std::size_t i = 0; i < n; i++) {
        bool has = sp.s.hosts[i] == station::TreeHost::Holding ||
                   sp.s.hosts[i] == station::TreeHost::Spent;
        if (!has && run.hosts[i].code == 0)
            run.hosts[i].code =
                station::interrupted ? 128 + station::interrupted : code(Outcome::ConnectionLost);
    }
}

// The files of the command with their local sums; 0 or the failure, said.
int tree_files(const Options &o, std::vector<File> &files) {
    std::size_t nlocal = o.command == Command::Put ? 1 : o.args.size() - 1;
    const char *dir = o.command == Command::Put ? o.args[1] : o.args[o.args.size() - 1];
    for (std::size_t i = 0; i < nlocal; i++) {
        File f;
        f.local = o.args[i];
        f.dir = dir;
        const char *slash = strrchr(o.args[i], '/');
        f.name = o.command == Command::Put && o.args.size() == 3 ? o.args[2]
                                                                 : (slash ? slash + 1 : o.args[i]);
        station::UploadInfo why;
        if (!station::file_sum(f.local.c_str(), &f.sum, &why)) {
            fprintf(stderr, "tarko_station: cannot read %s (%s)\n", f.local.c_str(),
                    why.local_errno == EINVAL ? "not a regular file" : strerror(why.local_errno));
            return code(Outcome::LocalUnreadable);
        }
        files.push_back(std::move(f));
    }
    return 0;
}

// Which hosts hold each file already (sync): the sums of every file on every host,
// pipelined per host. Returns holds[file][host].
std::vector<std::vector<char>> tree_sums(Run &run, const std::vector<File> &files) {
    std::vector<Host> &hosts = run.hosts;
    std::size_t n = hosts.size();
    std::vector<std::vector<station::PipeRequest>> reqs(n);
    std::vector<station::Pipeline> ps;
    for (std::size_t i = 0; i < n; i++) {
        if (!hosts[i].agent)
            continue;
        for (const File &f : files) {
            station::PipeRequest r;
            r.dir = f.dir;
            r.name = f.name;
            reqs[i].push_back(std::move(r));
        }
        ps.push_back(station::pipeline_of(*hosts[i].agent, reqs[i].data(), reqs[i].size()));
    }
    station::pipeline_run(ps.data(), ps.size());
    std::vector<std::vector<char>> holds(files.size(), std::vector<char>(n, 0));
    bool sync = run.o.command == Command::Sync;
    for (std::size_t i = 0; i < n; i++)
        for (std::size_t k = 0; k < reqs[i].size(); k++) {
            const station::PipeRequest &r = reqs[i][k];
            if (pipe_fail_ends_connection(r.fail))
                hosts[i].broken = true;
            // A put takes no notice of what the hosts hold.
            bool same = sync && r.fail == station::PipeFail::None && r.status == Status::Ok &&
                        r.info.length == files[k].sum.length &&
                        r.info.checksum == files[k].sum.checksum;
            holds[k][i] = same;
            if (!same)
                continue;
            char path[200], line[400];
            snprintf(path, sizeof path, "%s/%s", files[k].dir.c_str(), files[k].name.c_str());
            snprintf(line, sizeof line, "skipped %s: unchanged (%d bytes, checksum %u)", path,
                     files[k].sum.length, files[k].sum.checksum);
            say_result(run, i, line);
            journal(run, i, "skip", path, 0, &files[k].sum);
        }
    return holds;
}

} // namespace

int run_tree(const Options &o) {
    std::vector<File> files;
    if (int r = tree_files(o, files); r != 0)
        return r;
    Run run{o, std::vector<Host>(o.hosts.size()), {}, now_s()};
    std::vector<const char *> names(o.hosts.size());
    {
        std::vector<station::Agent> agents(o.hosts.size());
        std::vector<int> codes(o.hosts.size());
        for (std::size_t i = 0; i < o.hosts.size(); i++)
            names[i] = run.hosts[i].name = o.hosts[i].c_str();
        connect_agents(o, names.data(), o.hosts.size(), agents.data(), codes.data());
        for (std::size_t i = 0; i < o.hosts.size(); i++) {
            run.hosts[i].code = codes[i];
            if (codes[i] == 0)
                run.hosts[i].agent = std::make_unique<station::Agent>(agents[i]);
        }
    }
    // The sums also give every agent its first request in time.
    std::vector<std::vector<char>> holds;
    if (!station::interrupted)
        holds = tree_sums(run, files);
    for (std::size_t k = 0; k < files.size() && !station::interrupted; k++)
        spread(run, files[k], holds[k]);
    for (auto &h : run.hosts)
        if (h.agent)
            station::agent_end_input(*h.agent); // all wind down together
    std::vector<HostOutcome> out(run.hosts.size());
    for (std::size_t i = 0; i < run.hosts.size(); i++) {
        if (run.hosts[i].agent)
            station::agent_close(*run.hosts[i].agent, station::interrupted ? 2000 : 5000);
        out[i].code = run.hosts[i].code;
        out[i].seconds = run.hosts[i].seconds;
    }
    int status = fleet_report(o, names.data(), out.data(), run.lines, now_s() - run.start);
    return station::interrupted ? 128 + station::interrupted : status;
}
