#include "sync.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <numeric>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace cmd {

namespace {

// The local side of a sync, read once for the whole run: a fan-out's children inherit
// it, so that a fleet walks the tree and reads every file once rather than once a host.
struct LocalFile {
    station::TreeFile f;
    bool ok = false;
    station::FileInfo sum{};
    int error = 0;          // when not ok: why the file could not be read
    std::int64_t mtime = 0; // when the file was last changed, in nanoseconds
    struct stat before {};  // the file as it was just before it was summed
};

struct LocalSide {
    pid_t by = 0;       // the process that read it; 0 while not read
    bool fresh = false; // not yet listed by the process that read it
    int walk_error = 0; // the tree could not be walked: errno
    std::vector<LocalFile> files;
    std::vector<station::TreeSkipped> skipped;
};

LocalSide local_side;

void sum_local(LocalFile &lf) {
    station::UploadInfo why;
    lf.ok = stat(lf.f.local.c_str(), &lf.before) == 0 &&
            station::file_sum(lf.f.local.c_str(), &lf.sum, &why, &lf.mtime);
    lf.error = lf.ok ? 0 : why.local_errno ? why.local_errno : errno;
}

// The file is still what was summed: the same file, length and times of change.
bool unchanged(const LocalFile &lf) {
    struct stat now;
    const struct stat &b = lf.before;
    return stat(lf.f.local.c_str(), &now) == 0 && now.st_dev == b.st_dev &&
           now.st_ino == b.st_ino && now.st_size == b.st_size &&
           now.st_mtim.tv_sec == b.st_mtim.tv_sec && now.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           now.st_ctim.tv_sec == b.st_ctim.tv_sec && now.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// The files to sync: those named, or the regular files of the tree of sync -r, whose
// left-out entries are reported one by one. Each host takes the sums read once for the
// run, and sums again only a file that changed since. Returns the result so far.
CommandResult sync_list(HostSession &c, std::vector<SyncFile> &files) {
    sync_read_local(c.o);
    LocalSide &l = local_side;
    // Read by this very process a moment ago, for its one host, the sums stand as they
    // are; any other list (a fan-out's child, whose parent read them) checks each file.
    bool check = !(l.by == getpid() && std::exchange(l.fresh, false));
    const char *dir = c.o.args[c.o.args.size() - 1];
    CommandResult result = Outcome::Ok;
    if (l.walk_error) {
        say_failure(c, "sync %s: cannot read the directory %s (%s)", dir, c.o.args[0],
                    strerror(l.walk_error));
        return Outcome::LocalUnreadable;
    }
    for (const auto &sk : l.skipped) {
        say_failure(c, "sync: %s/%s left out: %s", c.o.args[0], sk.rel.c_str(),
                    station::tree_skip_text(sk));
        bool harmless =
            sk.why == station::TreeSkip::Symlink || sk.why == station::TreeSkip::Special;
        if (!harmless && result.ok())
            result = Outcome::LocalUnreadable;
    }
    for (const auto &known : l.files) {
        LocalFile lf = known;
        if (check && (!lf.ok || !unchanged(lf)))
            sum_local(lf);
        if (!lf.ok) {
            say_failure(c, "sync %s/%s: cannot read %s (%s)", lf.f.dir.c_str(), lf.f.name.c_str(),
                        lf.f.local.c_str(), local_error_text(lf.error));
            if (result.ok())
                result = Outcome::LocalUnreadable;
            continue;
        }
        files.push_back(SyncFile{std::move(lf.f), lf.sum, 0, 0, 0, false, false, lf.mtime});
    }
    return result;
}

// A sync in flight. The sums of all files go back to back over the first connection,
// right behind its hello; each answer that shows a difference queues its file, and
// every connection is kept two puts deep from that queue (the next header goes out as
// soon as the data before it are sent), so the puts run while later sums are still
// coming in. The further connections take puts before their hellos are answered; one
// that never answers gives its puts back to the queue.
struct SyncRun {
    HostSession &c;
    std::vector<SyncFile> &files;
    std::vector<HostSession *> streams = {};                  // the first, then the others
    std::vector<std::vector<station::PipeRequest>> reqs = {}; // per connection
    std::vector<std::vector<std::size_t>> file_of = {};       // per connection: per put, its file
    std::vector<station::Pipeline> ps = {};
    std::vector<std::size_t> seen = {};  // per connection: answers looked at
    std::vector<char> broken = {};       // per connection: it failed and takes no more
    std::vector<std::size_t> queue = {}; // files to put, from qhead on
    std::size_t qhead = 0;
    std::size_t summed = 0; // files whose sum answer was looked at
    std::size_t nput = 0;
    std::int64_t total = 0; // bytes of the puts
};

// Puts kept queued on a connection: one whose data are going out or awaited, and the
// next, whose header follows them at once.
constexpr std::size_t SYNC_DEPTH = 2;

// The data sent so far over all connections, for the progress bar.
std::int64_t sent_bytes(const SyncRun &s) {
    std::int64_t n = 0;
    for (const auto &p : s.ps)
        n += p.data_total;
    return n;
}

bool unchanged(const SyncFile &f, const station::PipeRequest &r) {
    return r.fail == station::PipeFail::None && r.status == Status::Ok &&
           r.info.length == f.mine.length && r.info.checksum == f.mine.checksum;
}

bool absent(const station::PipeRequest &r) {
    return r.fail == station::PipeFail::None && r.status == Status::CannotOpen;
}

station::PipeRequest sum_request(const SyncFile &f) {
    station::PipeRequest r;
    r.dir = f.f.dir;
    r.name = f.f.name;
    return r;
}

// Appends the put of file k to connection i; one that failed keeps it unsent (NotSent).
// Ahead, the put follows a sum of its own and is withdrawn if the host's copy is the same.
void sync_put(SyncRun &s, std::size_t k, std::size_t i, bool ahead = false) {
    SyncFile &f = s.files[k];
    if (ahead)
        s.reqs[i].push_back(sum_request(f));
    station::PipeRequest r = sum_request(f);
    r.op = station::PipeOp::Put;
    r.local = f.f.local;
    r.withdraw_if_same = ahead;
    r.expect = f.mine;
    f.ahead = ahead;
    f.stream = i;
    f.put_at = s.reqs[i].size();
    s.reqs[i].push_back(std::move(r));
    s.file_of[i].push_back(k);
    station::Pipeline &p = s.ps[i];
    p.reqs = s.reqs[i].data();
    if (!s.broken[i])
        p.n = s.reqs[i].size();
}

void sync_tick(void *ctx) {
    SyncRun &s = *static_cast<SyncRun *>(ctx);
    std::size_t n = s.ps.size();
    for (std::size_t i = 0; i < n; i++) {
        for (; s.seen[i] < s.ps[i].answered; s.seen[i]++)
            if (station::pipe_fail_ends_connection(s.reqs[i][s.seen[i]].fail))
                s.broken[i] = 1;
        // A further connection that never said hello: its puts go elsewhere, those it
        // took ahead as the first connection's sums tell, now or when they come.
        if (i > 0 && s.broken[i] && s.ps[i].hello)
            for (; !s.file_of[i].empty(); s.file_of[i].pop_back()) {
                std::size_t k = s.file_of[i].back();
                bool was_ahead = s.files[k].ahead;
                s.files[k].ahead = false;
                if (!was_ahead || (k < s.summed && s.files[k].put))
                    s.queue.push_back(k);
            }
    }
    bool was_summing = s.summed < s.files.size();
    for (; s.summed < s.ps[0].answered && s.summed < s.files.size(); s.summed++) {
        SyncFile &f = s.files[s.summed];
        if (!station::sum_wants_put(s.reqs[0][f.sum_at], f.mine))
            continue; // the same, or its sum failed (said with the results)
        f.put = true;
        if (s.c.o.dry_run)
            continue;
        if (!f.ahead)
            s.queue.push_back(s.summed);
        s.nput++;
        s.total += f.mine.length;
    }
    // The further connections take puts first: the first still has the sums before it.
    bool any = false;
    for (std::size_t k = 1; k <= n; k++) {
        std::size_t i = k % n;
        if (s.broken[i])
            continue;
        any = true;
        while (s.qhead < s.queue.size() && s.ps[i].n - s.ps[i].answered < SYNC_DEPTH)
            sync_put(s, s.queue[s.qhead++], i);
    }
    // With no connection left, the rest of the queue stays unsent.
    while (!any && s.qhead < s.queue.size())
        sync_put(s, s.queue[s.qhead++], 0);
    // With every put handed out for good (none on a connection whose hello may still
    // fail), each agent may end after its last answer.
    bool settled = s.summed == s.files.size() && s.qhead == s.queue.size();
    for (std::size_t i = 1; i < n; i++)
        if (!s.broken[i] && s.ps[i].hello && !s.file_of[i].empty())
            settled = false;
    for (auto &p : s.ps)
        p.last = p.last || settled;
    if (s.c.o.dry_run)
        return;
    if (was_summing && s.summed == s.files.size()) {
        char label[32];
        format(label, sizeof label, "%zu files", s.nput);
        progress_start(s.c.bar, label, s.total, progress_wanted(s.c));
    } else if (!was_summing) {
        progress_update(s.c.bar, sent_bytes(s));
    }
}

} // namespace

void sync_end(SyncStart &s) {
    for (auto &x : s.extra)
        station::agent_end_input(x->agent);
    for (auto &x : s.extra)
        station::agent_close(x->agent, station::interrupted ? 2000 : 5000);
    s.extra.clear();
}

SyncStart::~SyncStart() {
    sync_end(*this);
}

void sync_read_local(const Options &o) {
    LocalSide &l = local_side;
    if (l.by)
        return;
    l.by = getpid();
    l.fresh = true;
    const char *dir = o.args[o.args.size() - 1];
    std::vector<station::TreeFile> found;
    if (o.recursive) {
        std::vector<std::string> excludes(o.excludes.begin(), o.excludes.end());
        if (station::tree_walk(o.args[0], dir, excludes, found, l.skipped) != 0) {
            l.walk_error = errno ? errno : EIO;
            return;
        }
    } else {
        for (std::size_t i = 0; i + 1 < o.args.size(); i++)
            found.push_back({o.args[i], dir, base_name(o.args[i])});
    }
    l.files.reserve(found.size());
    for (auto &f : found) {
        l.files.push_back(LocalFile{std::move(f)});
        sum_local(l.files.back());
    }
}

void sync_start(HostSession &c, SyncStart &s) {
    // No more connections than files named; a tree's files are not counted yet.
    std::size_t n =
        c.o.recursive ? c.o.streams : std::min<std::size_t>(c.o.streams, c.o.args.size() - 1);
    if (c.o.dry_run)
        n = 1;
    std::vector<HostSession *> more;
    for (std::size_t i = 1; i < n; i++) {
        s.extra.push_back(
            std::make_unique<HostSession>(HostSession{c.o, c.host, c.fanout, {}, {}, {}}));
        more.push_back(s.extra.back().get());
    }
    s.up.assign(more.size(), Outcome::Ok);
    launch_all(more.data(), more.size(), s.up.data());
    s.listed = sync_list(c, s.files);
}

// The command's own connection is greeted in the run of its sums.
CommandResult cmd_sync(HostSession &c, SyncStart &start) {
    CommandResult result = start.listed;
    auto keep = [&](CommandResult r) {
        if (!r.ok() && result.ok())
            result = r;
    };
    SyncRun s{c, start.files};
    HostSession *first = &c;
    if (s.files.empty()) { // nothing to ask: the hello alone
        CommandResult r = Outcome::Ok;
        greet_all(&first, 1, &r);
        return r.ok() ? result : r;
    }
    s.streams.push_back(first);
    for (std::size_t i = 0; i < start.extra.size(); i++) {
        connect_failed(*start.extra[i], start.up[i]);
        if (start.up[i].ok())
            s.streams.push_back(start.extra[i].get());
    }
    std::size_t n = s.streams.size();
    s.reqs.resize(n);
    s.file_of.resize(n);
    s.seen.assign(n, 0);
    s.broken.assign(n, 0);
    for (auto &f : s.files) {
        f.sum_at = s.reqs[0].size();
        s.reqs[0].push_back(sum_request(f));
    }
    for (std::size_t i = 0; i < n; i++) {
        // Each connection is paced by its session's pacer under --bwlimit.
        s.ps.push_back(
            station::pipeline_of(s.streams[i]->agent, s.reqs[i].data(), s.reqs[i].size()));
        s.ps[i].hello = true;
        s.ps[i].hello_ms = c.o.answer_seconds * 1000;
    }
    // Each further connection starts on a file of its own, so that its first upload
    // need not wait for the first connection's sums: the files changed last, as the
    // likeliest to differ.
    std::vector<std::size_t> newest(s.files.size());
    std::iota(newest.begin(), newest.end(), 0);
    std::size_t ahead = std::min(n - 1, newest.size());
    std::partial_sort(
        newest.begin(), newest.begin() + static_cast<std::ptrdiff_t>(ahead), newest.end(),
        [&](std::size_t a, std::size_t b) { return s.files[a].mtime > s.files[b].mtime; });
    for (std::size_t i = 1; i <= ahead; i++)
        sync_put(s, newest[i - 1], i, true);
    station::pipeline_run(s.ps.data(), n, station::PipeTick{sync_tick, &s});
    if (!c.o.dry_run)
        progress_end(c.bar, sent_bytes(s));
    // Every hello that came is taken as connect_greet takes it, every one that failed
    // is said; those never awaited are not.
    for (std::size_t i = 0; i < n; i++) {
        bool awaited = !s.ps[i].hello || s.ps[i].n > 0;
        CommandResult r = awaited ? greet_result(*s.streams[i], station::hello_result(s.ps[i]))
                                  : CommandResult(Outcome::Ok);
        connect_failed(*s.streams[i], r);
        if (i == 0 && !r.ok())
            return r;
    }

    // Each connection that broke is reported once, at its first failed request; the
    // requests after it were never answered.
    std::vector<char> broke(n, 0);
    for (auto &f : s.files) {
        // A file taken ahead went by the sum before its put, if that connection came up.
        std::size_t by = f.ahead ? f.stream : 0;
        const station::PipeRequest &r = f.ahead ? s.reqs[by][f.put_at - 1] : s.reqs[0][f.sum_at];
        if (f.ahead)
            f.put = s.reqs[by][f.put_at].fail != station::PipeFail::Withdrawn;
        char rpath[PATH_CAP], what[PATH_CAP + 16];
        remote_path(rpath, sizeof rpath, f.f.dir.c_str(), f.f.name.c_str());
        snprintf(what, sizeof what, "sum %s", rpath);
        if (f.put) {
            if (c.o.dry_run)
                say_result(c, "would put %s: %s (%lld bytes)", rpath,
                           absent(r) ? "missing" : "differs",
                           static_cast<long long>(f.mine.length));
            continue;
        }
        if (unchanged(f, r)) {
            say_result(c, "skipped %s: unchanged (%lld bytes, checksum %u)", rpath,
                       static_cast<long long>(f.mine.length), f.mine.checksum);
            note(c, "skip", rpath, Outcome::Ok, f.mine.length, &f.mine.checksum);
            continue;
        }
        bool was = broke[by];
        if (CommandResult e = pipe_result(c, what, r, broke[by]); !e.ok()) {
            note(c, "sum", rpath, e);
            if (!was)
                keep(e);
        }
    }
    if (c.o.dry_run || station::interrupted)
        return station::interrupted ? CommandResult::interrupted(station::interrupted) : result;
    for (auto &f : s.files) {
        if (!f.put)
            continue;
        const station::PipeRequest &r = s.reqs[f.stream][f.put_at];
        char rpath[PATH_CAP], what[PATH_CAP + 16];
        remote_path(rpath, sizeof rpath, f.f.dir.c_str(), f.f.name.c_str());
        snprintf(what, sizeof what, "put %s", rpath);
        bool was = broke[f.stream];
        CommandResult e = pipe_result(c, what, r, broke[f.stream]);
        note(c, "put", rpath, e, r.length);
        if (e.ok())
            say_result(c, "%s: 0 success (%lld bytes)", what, static_cast<long long>(r.length));
        else if (!was)
            keep(e);
    }
    return station::interrupted ? CommandResult::interrupted(station::interrupted) : result;
}

} // namespace cmd
