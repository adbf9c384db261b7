#include "treeput.h"

#include "client.h"
#include "commands.h"
#include "fanout.h"
#include "outcome.h"
#include "pipeline.h"
#include "relaytree.h"

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

const char *source_name(const std::vector<Host> &hosts, int from) {
    return from == station::FROM_STATION ? "the station"
                                         : hosts[static_cast<std::size_t>(from)].name;
}

// Brings one file to every host that lacks it. holds[i] says which hosts already have
// it (they serve from the first round on).
void spread(const Options &o, std::vector<Host> &hosts, const File &f, std::vector<char> holds,
            double start) {
    std::size_t n = hosts.size();
    station::TreeState s = station::tree_start(n, o.tree);
    for (std::size_t i = 0; i < n; i++) {
        if (!hosts[i].agent || hosts[i].broken)
            s.hosts[i] = station::TreeHost::Failed;
        else if (holds[i])
            s.hosts[i] = station::TreeHost::Holding;
    }
    char rpath[200];
    snprintf(rpath, sizeof rpath, "%s/%s", f.dir.c_str(), f.name.c_str());
    std::string served;
    std::vector<station::Hop> hops;
    for (;;) {
        station::tree_round(s, hops);
        if (hops.empty() || station::interrupted)
            break;
        // One pipeline per connection that works in this round: the holder's for a push,
        // the target's for a put from the station.
        std::vector<std::vector<station::PipeRequest>> reqs(n);
        std::vector<std::vector<std::size_t>> hop_of(n);
        for (std::size_t h = 0; h < hops.size(); h++) {
            const station::Hop &hop = hops[h];
            station::PipeRequest r;
            r.dir = f.dir;
            r.name = f.name;
            std::size_t conn;
            if (hop.from == station::FROM_STATION) {
                conn = static_cast<std::size_t>(hop.to);
                r.op = station::PipeOp::Put;
                r.local = f.local;
            } else {
                conn = static_cast<std::size_t>(hop.from);
                r.op = station::PipeOp::Push;
                r.host = hosts[static_cast<std::size_t>(hop.to)].name;
                r.expect = f.sum;
            }
            reqs[conn].push_back(std::move(r));
            hop_of[conn].push_back(h);
        }
        // Every other connection gets a sum as well: an agent left without a request
        // ends itself (30 s after its start, 120 s after its last request).
        for (std::size_t i = 0; i < n; i++) {
            if (!reqs[i].empty() || !hosts[i].agent || hosts[i].broken)
                continue;
            station::PipeRequest r;
            r.dir = f.dir;
            r.name = f.name;
            reqs[i].push_back(std::move(r));
        }
        std::vector<station::Pipeline> ps;
        std::vector<station::Pacer> pacers(n);
        for (std::size_t i = 0; i < n; i++) {
            if (reqs[i].empty())
                continue;
            station::pacer_start(pacers[i], o.bwlimit);
            ps.push_back(station::pipeline_of(*hosts[i].agent, reqs[i].data(), reqs[i].size(),
                                              o.bwlimit > 0 ? &pacers[i] : nullptr));
        }
        station::pipeline_run(ps.data(), ps.size());
        for (std::size_t i = 0; i < n; i++) {
            for (std::size_t k = 0; k < reqs[i].size(); k++) {
                const station::PipeRequest &r = reqs[i][k];
                if (k >= hop_of[i].size()) { // a keep-alive sum
                    if (pipe_fail_ends_connection(r.fail))
                        hosts[i].broken = true;
                    continue;
                }
                const station::Hop &hop = hops[hop_of[i][k]];
                Host &to = hosts[static_cast<std::size_t>(hop.to)];
                const char *from = source_name(hosts, hop.from);
                bool ok = r.fail == station::PipeFail::None && r.status == Status::Ok;
                if (pipe_fail_ends_connection(r.fail))
                    hosts[i].broken = true;
                station::tree_record(s, hop, ok);
                if (ok) {
                    to.seconds = now_s() - start;
                    if (!o.quiet)
                        printf("%s: put %s: 0 success (%d bytes) from %s\n", to.name, rpath,
                               f.sum.length, from);
                    served += served.empty() ? "" : ", ";
                    served += std::string(to.name) + " from " + from;
                    continue;
                }
                char why[512];
                int c = failure(r, why, sizeof why);
                bool fallback = hop.from != station::FROM_STATION;
                fprintf(stderr, "tarko_station: %s: %s %s from %s: %s%s\n", to.name,
                        fallback ? "push" : "put", rpath, from, why,
                        fallback ? "; the station sends it itself" : "");
                if (!fallback)
                    to.code = c;
            }
        }
        fflush(stdout);
    }
    if (!o.quiet && !served.empty())
        printf("tree %s: %s\n", rpath, served.c_str());
    // A host left without the file whose own attempts said nothing (its connection broke
    // in an earlier round, or the run was interrupted) still counts as failed.
    for (std::size_t i = 0; i < n; i++) {
        bool has =
            s.hosts[i] == station::TreeHost::Holding || s.hosts[i] == station::TreeHost::Spent;
        if (!has && hosts[i].code == 0)
            hosts[i].code =
                station::interrupted ? 128 + station::interrupted : code(Outcome::ConnectionLost);
    }
}

// The files of the command with their local sums; 0 or the failure, said.
int tree_files(const Options &o, std::vector<File> &files) {
    std::size_t nlocal = o.command == Command::Put ? 1 : o.nargs - 1;
    const char *dir = o.command == Command::Put ? o.args[1] : o.args[o.nargs - 1];
    for (std::size_t i = 0; i < nlocal; i++) {
        File f;
        f.local = o.args[i];
        f.dir = dir;
        const char *slash = strrchr(o.args[i], '/');
        f.name =
            o.command == Command::Put && o.nargs == 3 ? o.args[2] : (slash ? slash + 1 : o.args[i]);
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
std::vector<std::vector<char>> tree_sums(std::vector<Host> &hosts, const std::vector<File> &files,
                                         bool quiet) {
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
    for (std::size_t i = 0; i < n; i++)
        for (std::size_t k = 0; k < reqs[i].size(); k++) {
            const station::PipeRequest &r = reqs[i][k];
            if (pipe_fail_ends_connection(r.fail))
                hosts[i].broken = true;
            bool same = r.fail == station::PipeFail::None && r.status == Status::Ok &&
                        r.info.length == files[k].sum.length &&
                        r.info.checksum == files[k].sum.checksum;
            holds[k][i] = same;
            if (same && !quiet)
                printf("%s: skipped %s/%s: unchanged (%d bytes, checksum %u)\n", hosts[i].name,
                       files[k].dir.c_str(), files[k].name.c_str(), files[k].sum.length,
                       files[k].sum.checksum);
        }
    return holds;
}

} // namespace

int run_tree(const Options &o) {
    std::vector<File> files;
    if (int r = tree_files(o, files); r != 0)
        return r;
    double start = now_s();
    std::vector<Host> hosts(o.nhosts);
    std::vector<const char *> names(o.nhosts);
    {
        std::vector<station::Agent> agents(o.nhosts);
        std::vector<int> codes(o.nhosts);
        for (std::size_t i = 0; i < o.nhosts; i++)
            names[i] = hosts[i].name = o.hosts[i].data();
        connect_agents(o, names.data(), o.nhosts, agents.data(), codes.data());
        for (std::size_t i = 0; i < o.nhosts; i++) {
            hosts[i].code = codes[i];
            if (codes[i] == 0)
                hosts[i].agent = std::make_unique<station::Agent>(agents[i]);
        }
    }
    std::vector<std::vector<char>> holds(files.size(), std::vector<char>(hosts.size(), 0));
    // The sums also give every agent its first request in time; a put takes no notice
    // of what the hosts hold.
    if (!station::interrupted) {
        auto held = tree_sums(hosts, files, o.quiet || o.command != Command::Sync);
        if (o.command == Command::Sync)
            holds = held;
    }
    for (std::size_t k = 0; k < files.size() && !station::interrupted; k++)
        spread(o, hosts, files[k], holds[k], start);
    std::vector<HostOutcome> out(hosts.size());
    int failed = 0;
    for (auto &h : hosts)
        if (h.agent)
            station::agent_end_input(*h.agent); // all wind down together
    for (std::size_t i = 0; i < hosts.size(); i++) {
        if (hosts[i].agent)
            station::agent_close(*hosts[i].agent, station::interrupted ? 2000 : 5000);
        out[i].code = hosts[i].code;
        out[i].seconds = hosts[i].seconds;
        failed += hosts[i].code != 0;
    }
    fanout_table(stdout, names.data(), names.size(), out.data(), outcome_meaning);
    fflush(stdout);
    if (station::interrupted)
        return 128 + station::interrupted;
    if (failed > 0) {
        fprintf(stderr, "tarko_station: %d of %zu hosts failed\n", failed, hosts.size());
        return code(Outcome::SomeHostFailed);
    }
    return 0;
}
