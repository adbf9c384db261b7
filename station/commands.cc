#include "commands.h"

#include "agentcmd.h"
#include "client.h"
#include "outcome.h"
#include "pipeline.h"
#include "progress.h"
#include "treewalk.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kReplyMs = 130000; // the agent itself gives up 120 s after a request header
constexpr std::size_t kPathCap = 4096;

// What every command needs to know about where it stands.
struct Ctx {
    const Options &o;
    const char *host;
    bool fanout;
    station::Agent agent;
    ProgressBar bar;
};

// snprintf whose truncation is expected and harmless (bounded messages and paths
// whose lengths were checked before).
void format(char *buf, std::size_t cap, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, cap, fmt, ap);
    va_end(ap);
}

// "HOST: " before a message, except in a fan-out, which puts it before every line.
const char *host_prefix(const Ctx &c, char *buf, std::size_t cap) {
    if (c.fanout)
        return "";
    snprintf(buf, cap, "%s: ", c.host);
    return buf;
}

// A failure, on standard error: "tarko_station: HOST: message".
void say_failure(const Ctx &c, const char *fmt, ...) {
    char hp[80], msg[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(msg, sizeof msg, fmt, ap);
    va_end(ap);
    fprintf(stderr, "tarko_station: %s%s\n", host_prefix(c, hp, sizeof hp), msg);
}

// A result, on standard output unless -q: "HOST: message".
void say_result(const Ctx &c, const char *fmt, ...) {
    if (c.o.quiet)
        return;
    char hp[80], msg[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(msg, sizeof msg, fmt, ap);
    va_end(ap);
    fprintf(stdout, "%s%s\n", host_prefix(c, hp, sizeof hp), msg);
    fflush(stdout);
}

// Turns the result of one request into the exit status and its message. what names the
// request ("put /d/f"). Agent statuses are shown with their meaning; client errors with
// their cause.
int report(Ctx &c, const char *what, int r) {
    switch (r) {
    case 0:
        return 0;
    case station::ErrInterrupted:
        return 128 + station::interrupted; // said once, by the station as a whole
    case station::ErrTimeout:
        say_failure(c, "%s: no answer from the agent within %d seconds", what,
                    c.agent.timeout_ms / 1000);
        return code(Outcome::ConnectionLost);
    case station::ErrClosed:
        say_failure(c, "%s: the connection to the agent ended (the agent died)", what);
        return code(Outcome::ConnectionLost);
    case station::ErrWrite:
        say_failure(c, "%s: the agent stopped taking data (the agent died)", what);
        return code(Outcome::ConnectionLost);
    case station::ErrChecksum:
        say_failure(c, "%s: %d %s: the data received do not match the agent's checksum", what,
                    code(Status::BadChecksum), status_meaning(code(Status::BadChecksum)));
        return code(Status::BadChecksum);
    case station::ErrArgument:
        say_failure(c, "%s: a name or length the agent cannot take", what);
        return code(Outcome::Usage);
    case station::ErrProtocol:
        say_failure(c, "%s: the agent answered out of turn", what);
        return code(Outcome::Protocol);
    default:
        break;
    }
    // A final status of 1 (or any unknown value) is not a result the agent may give.
    if (r < 2 || r > 23 || strcmp(status_meaning(r), "unknown status") == 0) {
        say_failure(c, "%s: the agent answered with status %d, which no request may end with", what,
                    r);
        return code(Outcome::Protocol);
    }
    say_failure(c, "%s: %d %s", what, r, status_meaning(r));
    return r;
}

// Starts the agent for the host. Returns 0, or Usage or HostUnavailable after saying
// why.
int connect_start(Ctx &c) {
    AgentArgv av;
    if (agent_argv(c.o.agent, c.host, av) != 0) {
        say_failure(c, "the agent command \"%s\" cannot be used (empty or too long)", c.o.agent);
        return code(Outcome::Usage);
    }
    if (agent_resolve(av, getenv("PATH")) != 0) {
        say_failure(c, "cannot start %s (not found in PATH)", av.argv[0]);
        return code(Outcome::HostUnavailable);
    }
    std::vector<std::string> argv(av.argv, av.argv + av.argc);
    if (station::agent_start(c.agent, argv) != 0) {
        say_failure(c, "cannot start %s (%s)", av.argv[0], strerror(errno));
        return code(Outcome::HostUnavailable);
    }
    return 0;
}

// Says hello to the agent started within the time the user allows. Returns 0, or
// HostUnavailable (128 + signal when interrupted) after saying why.
int connect_hello(Ctx &c) {
    c.agent.timeout_ms = c.o.answer_seconds * 1000;
    int r = station::hello(c.agent);
    c.agent.timeout_ms = kReplyMs;
    if (r == 0)
        return 0;
    if (r == station::ErrInterrupted) {
        station::agent_close(c.agent, 2000);
        return 128 + station::interrupted;
    }
    if (r == station::ErrTimeout)
        say_failure(c, "the host did not answer within %d seconds (%s)", c.o.answer_seconds,
                    c.o.agent);
    else if (r == station::ErrHello)
        say_failure(c, "the host answered, but not as an agent does (%s)", c.o.agent);
    else {
        int st = station::agent_close(c.agent, 2000);
        if (st > 128)
            say_failure(c,
                        "the host did not answer: the agent command was killed by signal %d "
                        "(%s)",
                        st - 128, c.o.agent);
        else
            say_failure(c, "the host did not answer: the agent command ended with status %d (%s)",
                        st, c.o.agent);
        return code(Outcome::HostUnavailable);
    }
    // A host that said nothing, or nonsense, gets little time to go by itself.
    station::agent_close(c.agent, 200);
    return code(Outcome::HostUnavailable);
}

// Starts the agent for the host and says hello; connect_start and connect_hello.
int connect(Ctx &c) {
    int r = connect_start(c);
    return r != 0 ? r : connect_hello(c);
}

// Joins DIR and NAME as the agent does: no normalisation.
void remote_path(char *buf, std::size_t cap, const char *dir, const char *name) {
    snprintf(buf, cap, "%s/%s", dir, name);
}

const char *base_name(const char *path) {
    const char *slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
}

bool progress_wanted(const Ctx &c) {
    return !c.fanout && !c.o.no_progress && !c.o.quiet && isatty(2);
}

void bar_hook(void *ctx, std::int64_t done, std::int64_t) {
    progress_update(*static_cast<ProgressBar *>(ctx), done);
}

const char *local_error_text(int e) {
    return e == EFBIG    ? "longer than 2147483647 bytes"
           : e == EINVAL ? "not a regular file"
                         : strerror(e);
}

// Sends the local file as the data of a put (DIR and NAME given) or of a deployment
// (APP given), and reports it under the label what.
int upload_one(Ctx &c, const char *what, const char *local, const char *label, const char *dir,
               const char *name, const char *app) {
    progress_start(c.bar, label, 0, false);
    struct stat st;
    if (stat(local, &st) == 0)
        progress_start(c.bar, label, st.st_size, progress_wanted(c));
    c.agent.progress = bar_hook;
    c.agent.progress_ctx = &c.bar;
    station::UploadInfo up;
    int r = app ? station::deploy(c.agent, app, local, &up)
                : station::put_path(c.agent, dir, name, local, &up);
    c.agent.progress = nullptr;
    progress_end(c.bar, up.length);
    if (r == station::ErrLocal) {
        say_failure(c, "%s: cannot send %s (%s)", what, local, local_error_text(up.local_errno));
        return code(Outcome::LocalUnreadable);
    }
    if (r == station::ErrChanged) {
        say_failure(c, "%s: %s changed while it was sent; the host discarded it (%d %s)", what,
                    local, up.agent_status, status_meaning(up.agent_status));
        return code(Outcome::LocalChanged);
    }
    if (r != 0)
        return report(c, what, r);
    say_result(c, "%s: 0 success (%lld bytes)", what, static_cast<long long>(up.length));
    return 0;
}

// Sends one local file as DIR/NAME (operation 1) and reports it.
int put_one(Ctx &c, const char *local, const char *dir, const char *name) {
    char rpath[kPathCap], what[kPathCap + 16];
    remote_path(rpath, sizeof rpath, dir, name);
    snprintf(what, sizeof what, "put %s", rpath);
    return upload_one(c, what, local, name, dir, name, nullptr);
}

int put_paced(Ctx &c, const char *local, const char *dir, const char *name);

int cmd_put(Ctx &c) {
    const char *local = c.o.args[0];
    const char *name = c.o.nargs == 3 ? c.o.args[2] : base_name(local);
    if (c.o.bwlimit > 0)
        return put_paced(c, local, c.o.args[1], name);
    return put_one(c, local, c.o.args[1], name);
}

// Fetches DIR/NAME into a temporary file beside LOCAL and renames it into place only
// when the whole file has come and its checksum matched.
int cmd_get(Ctx &c) {
    const char *dir = c.o.args[0], *name = c.o.args[1];
    char local[kPathCap], rpath[kPathCap], what[2 * kPathCap];
    int n = 0;
    const char *given = c.o.nargs == 3 ? c.o.args[2] : name;
    struct stat st;
    if (stat(given, &st) == 0 && S_ISDIR(st.st_mode))
        n = snprintf(local, sizeof local, "%s/%s", given, name);
    else
        n = snprintf(local, sizeof local, "%s", given);
    // Several hosts fetching the same name must not overwrite each other.
    if (c.fanout && n >= 0 && static_cast<std::size_t>(n) < sizeof local)
        n = snprintf(local + n, sizeof local - static_cast<std::size_t>(n), ".%s", c.host);
    remote_path(rpath, sizeof rpath, dir, name);
    format(what, sizeof what, "get %s to %s", rpath, local);
    if (n < 0 || static_cast<std::size_t>(n) + 16 >= sizeof local) {
        say_failure(c, "%s: the local path is too long", what);
        return code(Outcome::Usage);
    }
    char temp_path[kPathCap];
    format(temp_path, sizeof temp_path, "%s.tarko-XXXXXX", local);
    int fd = mkstemp(temp_path);
    if (fd < 0) {
        say_failure(c, "%s: cannot create a temporary file beside %s (%s)", what, local,
                    strerror(errno));
        return code(Outcome::LocalUnwritable);
    }
    // The file gets the mode a newly created file would get, not mkstemp's 0600.
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);

    progress_start(c.bar, name, 0, progress_wanted(c));
    c.agent.progress = bar_hook;
    c.agent.progress_ctx = &c.bar;
    station::FileInfo info;
    int r = station::get_fd(c.agent, dir, name, fd, &info);
    c.agent.progress = nullptr;
    progress_end(c.bar, info.length);
    int saved = errno;
    if (fsync(fd) < 0 && r == 0) {
        saved = errno;
        r = station::ErrLocal;
    }
    if (close(fd) < 0 && r == 0) {
        saved = errno;
        r = station::ErrLocal;
    }
    if (r == 0 && rename(temp_path, local) < 0) {
        saved = errno;
        r = station::ErrLocal;
    }
    if (r != 0)
        unlink(temp_path);
    if (r == station::ErrLocal) {
        say_failure(c, "%s: cannot write %s (%s)", what, local, strerror(saved));
        return code(Outcome::LocalUnwritable);
    }
    if (r != 0)
        return report(c, what, r);
    say_result(c, "%s: 0 success (%d bytes)", what, info.length);
    return 0;
}

// Operation 6 for DIR/NAME; 0 with the length and checksum, or the reported failure.
int remote_sum(Ctx &c, const char *dir, const char *name, station::FileInfo *info,
               bool quiet_absent) {
    char rpath[kPathCap], what[kPathCap + 16];
    remote_path(rpath, sizeof rpath, dir, name);
    snprintf(what, sizeof what, "sum %s", rpath);
    int r = station::sum(c.agent, dir, name, info);
    if (r == code(Status::CannotOpen) && quiet_absent)
        return r;
    return report(c, what, r);
}

int cmd_sum(Ctx &c) {
    station::FileInfo info;
    int r = remote_sum(c, c.o.args[0], c.o.args[1], &info, false);
    if (r != 0)
        return r;
    char rpath[kPathCap];
    remote_path(rpath, sizeof rpath, c.o.args[0], c.o.args[1]);
    // The layout of cksum: checksum, length, name; results are wanted even with -q.
    printf("%u %ld %s\n", info.checksum, static_cast<long>(info.length), rpath);
    fflush(stdout);
    return 0;
}

int cmd_rm(Ctx &c) {
    char rpath[kPathCap], what[kPathCap + 16];
    remote_path(rpath, sizeof rpath, c.o.args[0], c.o.args[1]);
    snprintf(what, sizeof what, "rm %s", rpath);
    int r = report(c, what, station::rm(c.agent, c.o.args[0], c.o.args[1]));
    if (r == 0)
        say_result(c, "%s: 0 success", what);
    return r;
}

// The host sends its DIR/NAME on to VIA-HOST; the length and checksum that travel with
// it are those of the host's copy, so that the far agent checks what arrives.
int cmd_push(Ctx &c) {
    const char *via = c.o.args[0], *dir = c.o.args[1], *name = c.o.args[2];
    station::FileInfo info;
    if (int r = remote_sum(c, dir, name, &info, false); r != 0)
        return r;
    char rpath[kPathCap], what[kPathCap + 96];
    remote_path(rpath, sizeof rpath, dir, name);
    snprintf(what, sizeof what, "push %s to %s", rpath, via);
    int r = report(c, what, station::push(c.agent, via, dir, name, info.length, info.checksum));
    if (r == 0)
        say_result(c, "%s: 0 success (%d bytes)", what, info.length);
    return r;
}

int cmd_rmremote(Ctx &c) {
    const char *via = c.o.args[0], *dir = c.o.args[1], *name = c.o.args[2];
    char rpath[kPathCap], what[kPathCap + 96];
    remote_path(rpath, sizeof rpath, dir, name);
    snprintf(what, sizeof what, "rmremote %s on %s", rpath, via);
    int r = report(c, what, station::rmremote(c.agent, via, dir, name));
    if (r == 0)
        say_result(c, "%s: 0 success", what);
    return r;
}

int cmd_deploy(Ctx &c) {
    const char *app = c.o.args[0], *archive = c.o.args[1];
    char what[256];
    snprintf(what, sizeof what, "deploy %s", app);
    return upload_one(c, what, archive, app, nullptr, nullptr, app);
}

int cmd_undeploy(Ctx &c) {
    char what[256];
    snprintf(what, sizeof what, "undeploy %s", c.o.args[0]);
    int r = report(c, what, station::undeploy(c.agent, c.o.args[0]));
    if (r == 0)
        say_result(c, "%s: 0 success", what);
    return r;
}

// The client error that stands for a failed pipelined request, for report().
int pipe_error(station::PipeFail f) {
    switch (f) {
    case station::PipeFail::Timeout:
        return station::ErrTimeout;
    case station::PipeFail::Closed:
        return station::ErrClosed;
    case station::PipeFail::Write:
        return station::ErrWrite;
    case station::PipeFail::Protocol:
        return station::ErrProtocol;
    case station::PipeFail::Interrupted:
        return station::ErrInterrupted;
    default:
        return station::ErrLocal;
    }
}

// One file of a sync and what became of it.
struct SyncFile {
    station::TreeFile f;
    station::FileInfo mine;
    std::size_t stream = 0;
    bool put = false; // the host lacks it or has another copy
};

// The files to sync: those named, or the regular files of the tree of sync -r, whose
// left-out entries are reported one by one. Returns the result so far.
int sync_list(Ctx &c, std::vector<SyncFile> &files) {
    const char *dir = c.o.args[c.o.nargs - 1];
    std::vector<station::TreeFile> found;
    int result = 0;
    if (c.o.recursive) {
        std::vector<std::string> excludes(c.o.excludes, c.o.excludes + c.o.nexcludes);
        std::vector<station::TreeSkipped> skipped;
        if (station::tree_walk(c.o.args[0], dir, excludes, found, skipped) != 0) {
            say_failure(c, "sync %s: cannot read the directory %s (%s)", dir, c.o.args[0],
                        strerror(errno));
            return code(Outcome::LocalUnreadable);
        }
        for (const auto &sk : skipped) {
            say_failure(c, "sync: %s/%s left out: %s", c.o.args[0], sk.rel.c_str(),
                        station::tree_skip_text(sk));
            bool harmless =
                sk.why == station::TreeSkip::Symlink || sk.why == station::TreeSkip::Special;
            if (!harmless && result == 0)
                result = code(Outcome::LocalUnreadable);
        }
    } else {
        for (std::size_t i = 0; i + 1 < c.o.nargs; i++)
            found.push_back({c.o.args[i], dir, base_name(c.o.args[i])});
    }
    for (auto &f : found) {
        SyncFile sf{f, {}, 0, false};
        station::UploadInfo why;
        if (station::file_sum(f.local.c_str(), &sf.mine, &why) != 0) {
            say_failure(c, "sync %s/%s: cannot read %s (%s)", f.dir.c_str(), f.name.c_str(),
                        f.local.c_str(), local_error_text(why.local_errno));
            if (result == 0)
                result = code(Outcome::LocalUnreadable);
            continue;
        }
        files.push_back(std::move(sf));
    }
    return result;
}

// Runs the requests of every stream together. Each connection that broke is reported
// once, at its first failed request; the requests after it were never answered.
void run_streams(std::vector<Ctx *> &streams, std::vector<std::vector<station::PipeRequest>> &reqs,
                 std::vector<station::Pacer> &pacers) {
    std::vector<station::Pipeline> ps;
    for (std::size_t s = 0; s < streams.size(); s++)
        ps.push_back(station::pipeline_of(streams[s]->agent, reqs[s].data(), reqs[s].size(),
                                          pacers.empty() ? nullptr : &pacers[s]));
    station::pipeline_run(ps.data(), ps.size());
}

// The result of one pipelined request, reported under what; 0 when it succeeded.
int pipe_result(Ctx &c, const char *what, const station::PipeRequest &r, char &broke) {
    if (r.fail == station::PipeFail::None)
        return r.status == 0 ? 0 : report(c, what, r.status);
    if (r.fail == station::PipeFail::NotSent || (broke && pipe_fail_ends_connection(r.fail)))
        return code(Outcome::ConnectionLost);
    if (pipe_fail_ends_connection(r.fail))
        broke = 1;
    if (r.fail == station::PipeFail::Local) {
        say_failure(c, "%s: cannot send %s (%s)", what, r.local.c_str(),
                    local_error_text(r.local_errno));
        return code(Outcome::LocalUnreadable);
    }
    if (r.fail == station::PipeFail::Changed) {
        say_failure(c, "%s: %s changed while it was sent; the host discarded it (%d %s)", what,
                    r.local.c_str(), r.status, status_meaning(r.status));
        return code(Outcome::LocalChanged);
    }
    return report(c, what, pipe_error(r.fail));
}

// A put under --bwlimit: the data go through the pipelined exchange and its pacer.
int put_paced(Ctx &c, const char *local, const char *dir, const char *name) {
    station::PipeRequest r;
    r.op = station::PipeOp::Put;
    r.dir = dir;
    r.name = name;
    r.local = local;
    station::Pacer pacer;
    station::pacer_start(pacer, c.o.bwlimit);
    station::Pipeline p = station::pipeline_of(c.agent, &r, 1, &pacer);
    station::pipeline_run(&p, 1);
    char rpath[kPathCap], what[kPathCap + 16];
    remote_path(rpath, sizeof rpath, dir, name);
    snprintf(what, sizeof what, "put %s", rpath);
    char broke = 0;
    int e = pipe_result(c, what, r, broke);
    if (e == 0)
        say_result(c, "%s: 0 success (%lld bytes)", what, static_cast<long long>(r.length));
    return e;
}

// Puts each local file whose length or checksum differs from the host's copy (or that
// the host lacks), skips the others and says so. The sums of all files go out back to
// back, then the puts of those that differ, spread over --streams connections. Every
// file is tried; the result is that of the first file that failed.
int cmd_sync(Ctx &c) {
    std::vector<SyncFile> files;
    int result = sync_list(c, files);
    auto note = [&](int r) {
        if (r != 0 && result == 0)
            result = r;
    };
    // The first stream is the command's own connection; the others close with the run.
    struct Extra {
        std::vector<std::unique_ptr<Ctx>> v;
        ~Extra() {
            // All are told to end first, so that they wind down together.
            for (auto &x : v)
                station::agent_end_input(x->agent);
            for (auto &x : v)
                station::agent_close(x->agent, station::interrupted ? 2000 : 5000);
        }
    } extra;
    std::vector<Ctx *> streams{&c};
    int nstreams = std::max<int>(1, std::min<int>(c.o.streams, static_cast<int>(files.size())));
    // All are started before the first hello, so that their start-ups overlap.
    std::vector<std::unique_ptr<Ctx>> starting;
    for (int s = 1; s < nstreams; s++) {
        auto x = std::make_unique<Ctx>(Ctx{c.o, c.host, c.fanout, {}, {}});
        if (connect_start(*x) != 0)
            break; // said why; the files go over the connections there are
        starting.push_back(std::move(x));
    }
    for (auto &x : starting) {
        if (connect_hello(*x) != 0)
            continue; // said why, and closed
        streams.push_back(x.get());
        extra.v.push_back(std::move(x));
    }
    std::vector<station::Pacer> pacers(c.o.bwlimit > 0 ? streams.size() : 0);
    for (auto &p : pacers)
        station::pacer_start(p, c.o.bwlimit);

    std::vector<std::vector<station::PipeRequest>> sums(streams.size());
    std::vector<std::vector<std::size_t>> which(streams.size());
    for (std::size_t i = 0; i < files.size(); i++) {
        std::size_t s = i % streams.size();
        files[i].stream = s;
        station::PipeRequest r;
        r.dir = files[i].f.dir;
        r.name = files[i].f.name;
        sums[s].push_back(std::move(r));
        which[s].push_back(i);
    }
    run_streams(streams, sums, pacers);
    std::vector<char> broke(streams.size(), 0);
    std::vector<std::size_t> pos(streams.size(), 0);
    for (auto &f : files) {
        const station::PipeRequest &r = sums[f.stream][pos[f.stream]++];
        char rpath[kPathCap], what[kPathCap + 16];
        remote_path(rpath, sizeof rpath, f.f.dir.c_str(), f.f.name.c_str());
        snprintf(what, sizeof what, "sum %s", rpath);
        bool absent = r.fail == station::PipeFail::None && r.status == code(Status::CannotOpen);
        bool same = r.fail == station::PipeFail::None && r.status == 0 &&
                    r.info.length == f.mine.length && r.info.checksum == f.mine.checksum;
        if (same) {
            say_result(c, "skipped %s: unchanged (%lld bytes, checksum %u)", rpath,
                       static_cast<long long>(f.mine.length), f.mine.checksum);
            continue;
        }
        if (!absent) {
            bool was = broke[f.stream];
            if (int e = pipe_result(c, what, r, broke[f.stream]); e != 0) {
                if (!was)
                    note(e);
                continue;
            }
        }
        f.put = true;
        if (c.o.dry_run)
            say_result(c, "would put %s: %s (%lld bytes)", rpath, absent ? "missing" : "differs",
                       static_cast<long long>(f.mine.length));
    }
    if (c.o.dry_run || station::interrupted)
        return station::interrupted ? 128 + station::interrupted : result;

    // The puts are spread over the streams afresh, so that each gets its share of them.
    std::vector<std::vector<station::PipeRequest>> puts(streams.size());
    std::size_t nput = 0;
    for (auto &f : files) {
        if (!f.put)
            continue;
        f.stream = nput++ % streams.size();
        station::PipeRequest r;
        r.op = station::PipeOp::Put;
        r.dir = f.f.dir;
        r.name = f.f.name;
        r.local = f.f.local;
        puts[f.stream].push_back(std::move(r));
    }
    run_streams(streams, puts, pacers);
    std::fill(pos.begin(), pos.end(), 0);
    for (auto &f : files) {
        if (!f.put)
            continue;
        const station::PipeRequest &r = puts[f.stream][pos[f.stream]++];
        char rpath[kPathCap], what[kPathCap + 16];
        remote_path(rpath, sizeof rpath, f.f.dir.c_str(), f.f.name.c_str());
        snprintf(what, sizeof what, "put %s", rpath);
        bool was = broke[f.stream];
        int e = pipe_result(c, what, r, broke[f.stream]);
        if (e == 0)
            say_result(c, "%s: 0 success (%lld bytes)", what, static_cast<long long>(r.length));
        else if (!was)
            note(e);
    }
    return station::interrupted ? 128 + station::interrupted : result;
}

} // namespace

int connect_agents(const Options &o, const char *const *hosts, std::size_t n,
                   station::Agent *agents, int *codes) {
    std::vector<std::unique_ptr<Ctx>> cs;
    for (std::size_t i = 0; i < n; i++) {
        cs.push_back(std::make_unique<Ctx>(Ctx{o, hosts[i], false, {}, {}}));
        codes[i] = station::interrupted ? 128 + station::interrupted : connect_start(*cs[i]);
    }
    int up = 0;
    for (std::size_t i = 0; i < n; i++) {
        if (codes[i] == 0)
            codes[i] = station::interrupted ? 128 + station::interrupted : connect_hello(*cs[i]);
        if (codes[i] == 0) {
            agents[i] = cs[i]->agent;
            up++;
        } else if (cs[i]->agent.pid > 0) {
            station::agent_close(cs[i]->agent, 200);
        }
    }
    return up;
}

int run_command(const Options &o, const char *host, bool in_fanout) {
    Ctx c{o, host, in_fanout, {}, {}};
    if (int r = connect(c); r != 0)
        return r;
    int r = 0;
    switch (o.command) {
    case Command::Put:
        r = cmd_put(c);
        break;
    case Command::Get:
        r = cmd_get(c);
        break;
    case Command::Sum:
        r = cmd_sum(c);
        break;
    case Command::Rm:
        r = cmd_rm(c);
        break;
    case Command::Push:
        r = cmd_push(c);
        break;
    case Command::RmRemote:
        r = cmd_rmremote(c);
        break;
    case Command::Deploy:
        r = cmd_deploy(c);
        break;
    case Command::Undeploy:
        r = cmd_undeploy(c);
        break;
    case Command::Sync:
        r = cmd_sync(c);
        break;
    case Command::None:
        break;
    }
    // Interrupted, the agent has had its input closed and gets two seconds to answer
    // and remove what it left unfinished.
    int st = station::agent_close(c.agent, station::interrupted ? 2000 : 5000);
    // An agent that had to be killed or died by a signal is worth a word when the
    // exchange itself failed; its own exit status after success tells nothing.
    if (r == code(Outcome::ConnectionLost) && st > 128)
        say_failure(c, "the agent was killed by signal %d", st - 128);
    return r;
}
