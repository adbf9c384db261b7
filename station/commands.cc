#include "commands.h"

#include "agentcmd.h"
#include "client.h"
#include "fleet.h"
#include "outcome.h"
#include "pipeline.h"
#include "progress.h"
#include "transport.h"
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
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int REPLY_MS = 130000; // the agent itself gives up 120 s after a request header
constexpr std::size_t PATH_CAP = 4096;

// One command's connection to one host, with what its messages need to know.
struct HostSession {
    const Options &o;
    const char *host;
    bool fanout;
    station::Agent agent;
    ProgressBar bar;
    AgentLog log;          // the agent's standard error, shown with failures (or always with -v)
    char shown[1024] = ""; // the agent command, for messages
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
const char *host_prefix(const HostSession &c, char *buf, std::size_t cap) {
    if (c.fanout)
        return "";
    snprintf(buf, cap, "%s: ", c.host);
    return buf;
}

// A failure, on standard error: "tarko_station: HOST: message".
void say_failure(HostSession &c, const char *fmt, ...) {
    char hp[80], msg[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(msg, sizeof msg, fmt, ap);
    va_end(ap);
    // What the agent logged on the way to the failure comes first.
    agentlog_flush(c.log, true, host_prefix(c, hp, sizeof hp));
    fprintf(stderr, "tarko_station: %s%s\n", host_prefix(c, hp, sizeof hp), msg);
}

// A result, on standard output unless -q (standard error with --json): "HOST: message".
// The agent's log lines of a request that succeeded are shown only with -v.
void say_result(HostSession &c, const char *fmt, ...) {
    char hp[80], msg[1024];
    agentlog_flush(c.log, c.o.verbose, host_prefix(c, hp, sizeof hp));
    if (c.o.quiet)
        return;
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(msg, sizeof msg, fmt, ap);
    va_end(ap);
    FILE *to = c.o.json ? stderr : stdout;
    fprintf(to, "%s%s\n", host_prefix(c, hp, sizeof hp), msg);
    fflush(to);
}

// Records a request for --json and the audit log.
void note(const HostSession &c, const char *command, const char *path, CommandResult result,
          std::int64_t bytes = -1, const std::uint32_t *checksum = nullptr) {
    RequestNote n;
    n.command = command;
    n.path = path;
    n.status = result.exit_code();
    n.bytes = bytes;
    n.has_checksum = checksum != nullptr;
    n.checksum = checksum ? *checksum : 0;
    journal_request(c.o, c.host, n);
}

// Turns the result of one request into the exit status and its message. what names the
// request ("put /d/f"). Agent statuses are shown with their meaning; client errors with
// their cause.
CommandResult report(HostSession &c, const char *what, station::Reply r) {
    using station::ClientError;
    if (r.ok())
        return Outcome::Ok;
    switch (r.error()) {
    case ClientError::None:
        break; // the agent answered: its status is judged below
    case ClientError::Interrupted:
        return CommandResult::interrupted(station::interrupted); // said once, by the station
    case ClientError::Timeout:
        say_failure(c, "%s: no answer from the agent within %d seconds", what,
                    c.agent.timeout_ms / 1000);
        return Outcome::ConnectionLost;
    case ClientError::Closed:
        say_failure(c, "%s: the connection to the agent ended (the agent died)", what);
        return Outcome::ConnectionLost;
    case ClientError::Write:
        say_failure(c, "%s: the agent stopped taking data (the agent died)", what);
        return Outcome::ConnectionLost;
    case ClientError::Checksum:
        say_failure(c, "%s: %d %s: the data received do not match the agent's checksum", what,
                    code(Status::BadChecksum), status_meaning(Status::BadChecksum));
        return Status::BadChecksum;
    case ClientError::Argument:
        say_failure(c, "%s: a name or length the agent cannot take", what);
        return Outcome::Usage;
    case ClientError::Protocol:
    case ClientError::Hello:
    case ClientError::Local:
    case ClientError::Changed:
        // Hello, Local and Changed are dealt with where they can arise.
        say_failure(c, "%s: the agent answered out of turn", what);
        return Outcome::Protocol;
    }
    // A final status of 1 (or any unknown value) is not a result the agent may give.
    int st = code(r.status());
    if (st < 2 || !status_known(st)) {
        say_failure(c, "%s: the agent answered with status %d, which no request may end with", what,
                    st);
        return Outcome::Protocol;
    }
    say_failure(c, "%s: %d %s", what, st, status_meaning(st));
    return r.status();
}

// The agent command as it runs for this host, {host} replaced.
void agent_words(const AgentArgv &av, char *buf, std::size_t cap) {
    std::size_t n = 0;
    buf[0] = '\0';
    for (std::size_t i = 0; i < av.argc && n + 1 < cap; i++) {
        int w = snprintf(buf + n, cap - n, "%s%s", i ? " " : "", av.words[i]);
        if (w < 0)
            break;
        n += static_cast<std::size_t>(w);
    }
}

// The end of connect through ssh: ssh's own complaint, when it made one, is the one
// line said about a failure. Returns Ok, or HostUnavailable after saying why (an
// interruption as such).
CommandResult ssh_connected(HostSession &c, station::Reply r) {
    char why[640];
    if (r.ok()) {
        ssh_forget(c.host);
        return Outcome::Ok;
    }
    if (r == station::ClientError::Interrupted) {
        station::agent_close(c.agent, 2000);
        ssh_forget(c.host);
        return CommandResult::interrupted(station::interrupted);
    }
    bool timeout = r == station::ClientError::Timeout;
    int st = station::agent_close(c.agent, timeout ? 200 : 2000);
    if (ssh_explain(c.host, why, sizeof why))
        say_failure(c, "%s", why);
    else if (timeout)
        say_failure(c, "the host did not answer within %d seconds through ssh", c.o.answer_seconds);
    else if (r == station::ClientError::Hello)
        say_failure(c, "the host answered through ssh, but not as an agent does");
    else
        say_failure(c, "the host did not answer: ssh ended with status %d", st);
    ssh_forget(c.host);
    return Outcome::HostUnavailable;
}

// Starts the agent for the host; connect_greet then says hello. Returns Ok; Usage for
// an agent command that cannot be used; HostUnavailable after saying why.
CommandResult connect_launch(HostSession &c) {
    AgentArgv av;
    if (agent_argv(c.o.agent, c.host, av) != 0) {
        say_failure(c, "the agent command \"%s\" cannot be used (empty or too long)", c.o.agent);
        return Outcome::Usage;
    }
    agent_words(av, c.shown, sizeof c.shown);
    if (agent_resolve(av, getenv("PATH")) != 0) {
        say_failure(c, "cannot start %s (not found in PATH)", av.argv[0]);
        return Outcome::HostUnavailable;
    }
    std::vector<std::string> argv(av.argv, av.argv + av.argc);
    // The agent's standard error is its activity log: caught, to be shown with failures.
    agentlog_open(c.log);
    int saved = agentlog_swap(c.log, true, -1);
    bool started = station::agent_start(c.agent, argv);
    agentlog_swap(c.log, false, saved);
    if (!started) {
        say_failure(c, "cannot start %s (%s)", av.argv[0], strerror(errno));
        return Outcome::HostUnavailable;
    }
    // The hello waits in the pipe until the agent is up; a failure to send it shows
    // when its answer is read.
    station::hello_send(c.agent);
    return Outcome::Ok;
}

// What the hello's answer r means for the connection: Ok, or HostUnavailable after
// saying why.
CommandResult greet_result(HostSession &c, station::Reply r) {
    const char *shown = c.shown;
    if (c.o.ssh)
        return ssh_connected(c, r);
    if (r.ok())
        return Outcome::Ok;
    if (r == station::ClientError::Interrupted) {
        station::agent_close(c.agent, 2000);
        return CommandResult::interrupted(station::interrupted);
    }
    if (r == station::ClientError::Timeout)
        say_failure(c, "the host did not answer within %d seconds (%s)", c.o.answer_seconds, shown);
    else if (r == station::ClientError::Hello)
        say_failure(c, "the host answered, but not as an agent does (%s)", shown);
    else {
        int st = station::agent_close(c.agent, 2000);
        if (c.agent.signalled)
            say_failure(c,
                        "the host did not answer: the agent command was killed by signal %d "
                        "(%s)",
                        st - 128, shown);
        else
            say_failure(c, "the host did not answer: the agent command ended with status %d (%s)",
                        st, shown);
        return Outcome::HostUnavailable;
    }
    // A host that said nothing, or nonsense, gets little time to go by itself.
    station::agent_close(c.agent, 200);
    return Outcome::HostUnavailable;
}

// Says hello to the agent connect_launch started, within the time the user allows.
// Returns Ok, or HostUnavailable after saying why.
CommandResult connect_greet(HostSession &c) {
    c.agent.timeout_ms = c.o.answer_seconds * 1000;
    station::Reply r = station::hello_receive(c.agent);
    c.agent.timeout_ms = REPLY_MS;
    return greet_result(c, r);
}

// Starts the agents of every session (connect_launch), so that their start-ups (an ssh
// handshake each) overlap with one another and with what the caller does meanwhile.
void launch_all(HostSession *const *cs, std::size_t n, CommandResult *results) {
    journal_start();
    for (std::size_t i = 0; i < n; i++)
        results[i] = station::interrupted ? CommandResult::interrupted(station::interrupted)
                                          : connect_launch(*cs[i]);
}

// A connection that did not come up shows what its agent command wrote and is
// recorded as a request "connect".
void connect_failed(HostSession &c, const CommandResult &r) {
    if (r.ok())
        return;
    char hp[80];
    agentlog_flush(c.log, true, host_prefix(c, hp, sizeof hp));
    agentlog_close(c.log);
    if (!station::interrupted)
        note(c, "connect", "", r);
}

// Says hello to every agent launch_all started.
void greet_all(HostSession *const *cs, std::size_t n, CommandResult *results) {
    for (std::size_t i = 0; i < n; i++) {
        if (results[i].ok())
            results[i] = connect_greet(*cs[i]);
        connect_failed(*cs[i], results[i]);
    }
}

// Connects to every session's host, all agents started before the first hello.
void connect_all(HostSession *const *cs, std::size_t n, CommandResult *results) {
    launch_all(cs, n, results);
    greet_all(cs, n, results);
}

// Joins DIR and NAME as the agent does: no normalisation.
void remote_path(char *buf, std::size_t cap, const char *dir, const char *name) {
    snprintf(buf, cap, "%s/%s", dir, name);
}

const char *base_name(const char *path) {
    const char *slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
}

bool progress_wanted(const HostSession &c) {
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

// Sends the local file with send (a put or a deployment of it, given the UploadInfo to
// fill), reports it under the label what and records it as command on path.
template <typename Send>
CommandResult upload_one(HostSession &c, const char *what, const char *local, const char *label,
                         const char *command, const char *path, Send send) {
    progress_start(c.bar, label, 0, false);
    struct stat st;
    if (stat(local, &st) == 0)
        progress_start(c.bar, label, st.st_size, progress_wanted(c));
    c.agent.progress = bar_hook;
    c.agent.progress_ctx = &c.bar;
    station::UploadInfo up;
    station::Reply r = send(&up);
    c.agent.progress = nullptr;
    progress_end(c.bar, up.length);
    if (r == station::ClientError::Local) {
        say_failure(c, "%s: cannot send %s (%s)", what, local, local_error_text(up.local_errno));
        note(c, command, path, Outcome::LocalUnreadable);
        return Outcome::LocalUnreadable;
    }
    if (r == station::ClientError::Changed) {
        say_failure(c, "%s: %s changed while it was sent; the host discarded it (%d %s)", what,
                    local, code(up.agent_status), status_meaning(up.agent_status));
        note(c, command, path, Outcome::LocalChanged, up.length);
        return Outcome::LocalChanged;
    }
    if (!r.ok()) {
        CommandResult failed = report(c, what, r);
        note(c, command, path, failed, up.length);
        return failed;
    }
    say_result(c, "%s: 0 success (%lld bytes)", what, static_cast<long long>(up.length));
    note(c, command, path, Outcome::Ok, up.length, &up.checksum);
    return Outcome::Ok;
}

// Sends one local file as DIR/NAME (operation 1) and reports it.
CommandResult put_one(HostSession &c, const char *local, const char *dir, const char *name) {
    char rpath[PATH_CAP], what[PATH_CAP + 16];
    remote_path(rpath, sizeof rpath, dir, name);
    snprintf(what, sizeof what, "put %s", rpath);
    return upload_one(c, what, local, name, "put", rpath, [&](station::UploadInfo *up) {
        return station::put_path(c.agent, dir, name, local, up);
    });
}

CommandResult put_paced(HostSession &c, const char *local, const char *dir, const char *name);

CommandResult cmd_put(HostSession &c) {
    const char *local = c.o.args[0];
    const char *name = c.o.nargs == 3 ? c.o.args[2] : base_name(local);
    if (c.o.bwlimit > 0)
        return put_paced(c, local, c.o.args[1], name);
    return put_one(c, local, c.o.args[1], name);
}

// Fetches DIR/NAME into a temporary file beside LOCAL and renames it into place only
// when the whole file has come and its checksum matched.
CommandResult cmd_get(HostSession &c) {
    const char *dir = c.o.args[0], *name = c.o.args[1];
    char local[PATH_CAP], rpath[PATH_CAP], what[2 * PATH_CAP];
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
        return Outcome::Usage;
    }
    char temp_path[PATH_CAP];
    format(temp_path, sizeof temp_path, "%s.tarko-XXXXXX", local);
    int fd = mkstemp(temp_path);
    if (fd < 0) {
        say_failure(c, "%s: cannot create a temporary file beside %s (%s)", what, local,
                    strerror(errno));
        return Outcome::LocalUnwritable;
    }
    // The file gets the mode a newly created file would get, not mkstemp's 0600.
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);

    progress_start(c.bar, name, 0, progress_wanted(c));
    c.agent.progress = bar_hook;
    c.agent.progress_ctx = &c.bar;
    station::FileInfo info;
    station::Reply r = station::get_fd(c.agent, dir, name, fd, &info);
    c.agent.progress = nullptr;
    progress_end(c.bar, info.length);
    int saved = errno;
    if (fsync(fd) < 0 && r.ok()) {
        saved = errno;
        r = station::ClientError::Local;
    }
    if (close(fd) < 0 && r.ok()) {
        saved = errno;
        r = station::ClientError::Local;
    }
    if (r.ok() && rename(temp_path, local) < 0) {
        saved = errno;
        r = station::ClientError::Local;
    }
    if (!r.ok())
        unlink(temp_path);
    if (r == station::ClientError::Local) {
        say_failure(c, "%s: cannot write %s (%s)", what, local, strerror(saved));
        note(c, "get", rpath, Outcome::LocalUnwritable, info.length);
        return Outcome::LocalUnwritable;
    }
    if (!r.ok()) {
        CommandResult failed = report(c, what, r);
        note(c, "get", rpath, failed);
        return failed;
    }
    say_result(c, "%s: 0 success (%d bytes)", what, info.length);
    note(c, "get", rpath, Outcome::Ok, info.length, &info.checksum);
    return Outcome::Ok;
}

// Whether a file the host lacks is a failure to report, or what sync expects.
enum class Absent { Reported, Expected };

// Operation 6 for DIR/NAME: Ok with the length and checksum, or the reported failure
// (CannotOpen for a file the host lacks, unreported when absent is Expected).
CommandResult remote_sum(HostSession &c, const char *dir, const char *name, station::FileInfo *info,
                         Absent absent) {
    char rpath[PATH_CAP], what[PATH_CAP + 16];
    remote_path(rpath, sizeof rpath, dir, name);
    snprintf(what, sizeof what, "sum %s", rpath);
    station::Reply r = station::sum(c.agent, dir, name, info);
    if (r == Status::CannotOpen && absent == Absent::Expected)
        return Status::CannotOpen;
    return report(c, what, r);
}

CommandResult cmd_sum(HostSession &c) {
    station::FileInfo info;
    char rpath[PATH_CAP];
    remote_path(rpath, sizeof rpath, c.o.args[0], c.o.args[1]);
    CommandResult r = remote_sum(c, c.o.args[0], c.o.args[1], &info, Absent::Reported);
    if (!r.ok()) {
        note(c, "sum", rpath, r);
        return r;
    }
    char hp[80];
    agentlog_flush(c.log, c.o.verbose, host_prefix(c, hp, sizeof hp));
    note(c, "sum", rpath, Outcome::Ok, info.length, &info.checksum);
    if (c.o.json)
        return Outcome::Ok;
    // The layout of cksum: checksum, length, name; results are wanted even with -q.
    printf("%u %ld %s\n", info.checksum, static_cast<long>(info.length), rpath);
    fflush(stdout);
    return Outcome::Ok;
}

CommandResult cmd_rm(HostSession &c) {
    char rpath[PATH_CAP], what[PATH_CAP + 16];
    remote_path(rpath, sizeof rpath, c.o.args[0], c.o.args[1]);
    snprintf(what, sizeof what, "rm %s", rpath);
    CommandResult r = report(c, what, station::rm(c.agent, c.o.args[0], c.o.args[1]));
    if (r.ok())
        say_result(c, "%s: 0 success", what);
    note(c, "rm", rpath, r);
    return r;
}

// The host sends its DIR/NAME on to VIA-HOST; the length and checksum that travel with
// it are those of the host's copy, so that the far agent checks what arrives.
CommandResult cmd_push(HostSession &c) {
    const char *via = c.o.args[0], *dir = c.o.args[1], *name = c.o.args[2];
    station::FileInfo info;
    char rpath[PATH_CAP], what[PATH_CAP + 96];
    remote_path(rpath, sizeof rpath, dir, name);
    if (CommandResult r = remote_sum(c, dir, name, &info, Absent::Reported); !r.ok()) {
        note(c, "push", rpath, r);
        return r;
    }
    snprintf(what, sizeof what, "push %s to %s", rpath, via);
    CommandResult r =
        report(c, what, station::push(c.agent, via, dir, name, info.length, info.checksum));
    if (r.ok())
        say_result(c, "%s: 0 success (%d bytes)", what, info.length);
    note(c, "push", rpath, r, info.length, &info.checksum);
    return r;
}

CommandResult cmd_rmremote(HostSession &c) {
    const char *via = c.o.args[0], *dir = c.o.args[1], *name = c.o.args[2];
    char rpath[PATH_CAP], what[PATH_CAP + 96];
    remote_path(rpath, sizeof rpath, dir, name);
    snprintf(what, sizeof what, "rmremote %s on %s", rpath, via);
    CommandResult r = report(c, what, station::rmremote(c.agent, via, dir, name));
    if (r.ok())
        say_result(c, "%s: 0 success", what);
    note(c, "rmremote", rpath, r);
    return r;
}

CommandResult cmd_deploy(HostSession &c) {
    const char *app = c.o.args[0], *archive = c.o.args[1];
    char what[256];
    snprintf(what, sizeof what, "deploy %s", app);
    return upload_one(c, what, archive, app, "deploy", app, [&](station::UploadInfo *up) {
        return station::deploy(c.agent, app, archive, up);
    });
}

CommandResult cmd_undeploy(HostSession &c) {
    char what[256];
    snprintf(what, sizeof what, "undeploy %s", c.o.args[0]);
    CommandResult r = report(c, what, station::undeploy(c.agent, c.o.args[0]));
    if (r.ok())
        say_result(c, "%s: 0 success", what);
    note(c, "undeploy", c.o.args[0], r);
    return r;
}

// The client error that stands for a failed pipelined request, for report().
station::Reply pipe_error(station::PipeFail f) {
    using station::ClientError;
    switch (f) {
    case station::PipeFail::Timeout:
        return ClientError::Timeout;
    case station::PipeFail::Closed:
        return ClientError::Closed;
    case station::PipeFail::Write:
        return ClientError::Write;
    case station::PipeFail::Interrupted:
        return ClientError::Interrupted;
    default:
        return ClientError::Protocol;
    }
}

// One file of a sync and what became of it.
struct SyncFile {
    station::TreeFile f;
    station::FileInfo mine;
    std::size_t sum_at = 0; // its sum among the first connection's requests
    std::size_t stream = 0; // the connection of its put
    std::size_t put_at = 0; // the put among that connection's requests
    bool put = false;       // the host lacks it or has another copy
};

// The files to sync: those named, or the regular files of the tree of sync -r, whose
// left-out entries are reported one by one. Returns the result so far.
CommandResult sync_list(HostSession &c, std::vector<SyncFile> &files) {
    const char *dir = c.o.args[c.o.nargs - 1];
    std::vector<station::TreeFile> found;
    CommandResult result = Outcome::Ok;
    if (c.o.recursive) {
        std::vector<std::string> excludes(c.o.excludes, c.o.excludes + c.o.nexcludes);
        std::vector<station::TreeSkipped> skipped;
        if (station::tree_walk(c.o.args[0], dir, excludes, found, skipped) != 0) {
            say_failure(c, "sync %s: cannot read the directory %s (%s)", dir, c.o.args[0],
                        strerror(errno));
            return Outcome::LocalUnreadable;
        }
        for (const auto &sk : skipped) {
            say_failure(c, "sync: %s/%s left out: %s", c.o.args[0], sk.rel.c_str(),
                        station::tree_skip_text(sk));
            bool harmless =
                sk.why == station::TreeSkip::Symlink || sk.why == station::TreeSkip::Special;
            if (!harmless && result.ok())
                result = Outcome::LocalUnreadable;
        }
    } else {
        for (std::size_t i = 0; i + 1 < c.o.nargs; i++)
            found.push_back({c.o.args[i], dir, base_name(c.o.args[i])});
    }
    for (auto &f : found) {
        SyncFile sf{f, {}, 0, 0, 0, false};
        station::UploadInfo why;
        if (!station::file_sum(f.local.c_str(), &sf.mine, &why)) {
            say_failure(c, "sync %s/%s: cannot read %s (%s)", f.dir.c_str(), f.name.c_str(),
                        f.local.c_str(), local_error_text(why.local_errno));
            if (result.ok())
                result = Outcome::LocalUnreadable;
            continue;
        }
        files.push_back(std::move(sf));
    }
    return result;
}

// The result of one pipelined request, reported under what; 0 when it succeeded.
CommandResult pipe_result(HostSession &c, const char *what, const station::PipeRequest &r,
                          char &broke) {
    if (r.fail == station::PipeFail::None)
        return r.status == Status::Ok ? CommandResult(Outcome::Ok) : report(c, what, r.status);
    if (r.fail == station::PipeFail::NotSent || (broke && pipe_fail_ends_connection(r.fail)))
        return Outcome::ConnectionLost;
    if (pipe_fail_ends_connection(r.fail))
        broke = 1;
    if (r.fail == station::PipeFail::Local) {
        say_failure(c, "%s: cannot send %s (%s)", what, r.local.c_str(),
                    local_error_text(r.local_errno));
        return Outcome::LocalUnreadable;
    }
    if (r.fail == station::PipeFail::Changed) {
        say_failure(c, "%s: %s changed while it was sent; the host discarded it (%d %s)", what,
                    r.local.c_str(), code(r.status), status_meaning(r.status));
        return Outcome::LocalChanged;
    }
    return report(c, what, pipe_error(r.fail));
}

// A put under --bwlimit: the data go through the pipelined exchange and its pacer.
CommandResult put_paced(HostSession &c, const char *local, const char *dir, const char *name) {
    station::PipeRequest r;
    r.op = station::PipeOp::Put;
    r.dir = dir;
    r.name = name;
    r.local = local;
    station::Pacer pacer;
    station::pacer_start(pacer, c.o.bwlimit);
    station::Pipeline p = station::pipeline_of(c.agent, &r, 1, &pacer);
    station::pipeline_run(&p, 1);
    char rpath[PATH_CAP], what[PATH_CAP + 16];
    remote_path(rpath, sizeof rpath, dir, name);
    snprintf(what, sizeof what, "put %s", rpath);
    char broke = 0;
    CommandResult e = pipe_result(c, what, r, broke);
    note(c, "put", rpath, e, r.length);
    if (e.ok())
        say_result(c, "%s: 0 success (%lld bytes)", what, static_cast<long long>(r.length));
    return e;
}

// What a sync prepares while its host's agent comes up: the further connections of
// --streams, started right after the first, and the local files with their sums.
struct SyncStart {
    std::vector<SyncFile> files;
    CommandResult listed = Outcome::Ok;
    std::vector<std::unique_ptr<HostSession>> extra;
    std::vector<CommandResult> up; // per further connection: whether it started
    ~SyncStart();
};

// Ends the further connections: all are told to end first, so that they wind down
// together.
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

void sync_start(HostSession &c, SyncStart &s) {
    std::size_t n = c.o.nargs - 1; // the files named, or at most --streams for a tree
    n = c.o.dry_run ? 1 : std::min<std::size_t>(c.o.streams, c.o.recursive ? c.o.streams : n);
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
    std::vector<station::Pacer> pacers = {};
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

bool unchanged(const SyncFile &f, const station::PipeRequest &r) {
    return r.fail == station::PipeFail::None && r.status == Status::Ok &&
           r.info.length == f.mine.length && r.info.checksum == f.mine.checksum;
}

bool absent(const station::PipeRequest &r) {
    return r.fail == station::PipeFail::None && r.status == Status::CannotOpen;
}

// Appends the put of file k to connection i; one that failed keeps it unsent (NotSent).
void sync_put(SyncRun &s, std::size_t k, std::size_t i) {
    SyncFile &f = s.files[k];
    station::PipeRequest r;
    r.op = station::PipeOp::Put;
    r.dir = f.f.dir;
    r.name = f.f.name;
    r.local = f.f.local;
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
        // A further connection that never said hello: its puts go elsewhere.
        if (i > 0 && s.broken[i] && s.ps[i].hello)
            for (; !s.file_of[i].empty(); s.file_of[i].pop_back())
                s.queue.push_back(s.file_of[i].back());
    }
    bool was_summing = s.summed < s.files.size();
    for (; s.summed < s.ps[0].answered && s.summed < s.files.size(); s.summed++) {
        SyncFile &f = s.files[s.summed];
        const station::PipeRequest &r = s.reqs[0][f.sum_at];
        bool differs = r.fail == station::PipeFail::None && r.status == Status::Ok;
        if (unchanged(f, r) || !(absent(r) || differs))
            continue;
        f.put = true;
        if (s.c.o.dry_run)
            continue;
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
    std::int64_t done = 0;
    for (const auto &p : s.ps)
        done += p.data_total;
    if (was_summing && s.summed == s.files.size()) {
        char label[32];
        format(label, sizeof label, "%zu files", s.nput);
        progress_start(s.c.bar, label, s.total, progress_wanted(s.c));
    } else if (!was_summing) {
        progress_update(s.c.bar, done);
    }
}

// The client error that stands for a hello that failed in a pipeline.
station::Reply hello_error(const std::vector<station::PipeRequest> &reqs) {
    station::PipeFail f = reqs.empty() ? station::PipeFail::Closed : reqs[0].fail;
    return f == station::PipeFail::Protocol ? station::Reply(station::ClientError::Hello)
                                            : pipe_error(f);
}

// Puts each local file whose length or checksum differs from the host's copy (or that
// the host lacks), skips the others and says so; the puts are spread over --streams
// connections. Every file is tried; the result is that of the first file that failed.
// The command's own connection is greeted here, in the run of its sums.
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
        station::PipeRequest r;
        r.dir = f.f.dir;
        r.name = f.f.name;
        f.sum_at = s.reqs[0].size();
        s.reqs[0].push_back(std::move(r));
    }
    s.pacers.resize(c.o.bwlimit > 0 ? n : 0);
    for (auto &p : s.pacers)
        station::pacer_start(p, c.o.bwlimit);
    for (std::size_t i = 0; i < n; i++) {
        s.ps.push_back(station::pipeline_of(s.streams[i]->agent, s.reqs[i].data(), s.reqs[i].size(),
                                            s.pacers.empty() ? nullptr : &s.pacers[i]));
        s.ps[i].hello = true;
        s.ps[i].hello_ms = c.o.answer_seconds * 1000;
    }
    station::pipeline_run(s.ps.data(), n, station::PipeTick{sync_tick, &s});
    if (!c.o.dry_run) {
        std::int64_t done = 0;
        for (const auto &p : s.ps)
            done += p.data_total;
        progress_end(c.bar, done);
    }
    // Every hello that came is taken as connect_greet takes it, every one that failed
    // is said; those never awaited are not.
    for (std::size_t i = 0; i < n; i++) {
        bool awaited = !s.ps[i].hello || s.ps[i].n > 0;
        CommandResult r =
            awaited ? greet_result(*s.streams[i], s.ps[i].hello ? hello_error(s.reqs[i])
                                                                : station::Reply(Status::Ok))
                    : CommandResult(Outcome::Ok);
        connect_failed(*s.streams[i], r);
        if (i == 0 && !r.ok())
            return r;
    }

    // Each connection that broke is reported once, at its first failed request; the
    // requests after it were never answered.
    std::vector<char> broke(n, 0);
    for (auto &f : s.files) {
        const station::PipeRequest &r = s.reqs[0][f.sum_at];
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
        bool was = broke[0];
        if (CommandResult e = pipe_result(c, what, r, broke[0]); !e.ok()) {
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

} // namespace

int connect_agents(const Options &o, const char *const *hosts, std::size_t n,
                   station::Agent *agents, int *codes) {
    std::vector<std::unique_ptr<HostSession>> cs;
    std::vector<HostSession *> ps;
    for (std::size_t i = 0; i < n; i++) {
        cs.push_back(std::make_unique<HostSession>(HostSession{o, hosts[i], false, {}, {}, {}}));
        ps.push_back(cs.back().get());
    }
    std::vector<CommandResult> rs(n, Outcome::Ok);
    connect_all(ps.data(), n, rs.data());
    int up = 0;
    for (std::size_t i = 0; i < n; i++) {
        codes[i] = rs[i].exit_code();
        if (codes[i] == 0) {
            agents[i] = cs[i]->agent;
            up++;
        }
    }
    return up;
}

CommandResult run_command(const Options &o, const char *host, bool in_fanout) {
    HostSession c{o, host, in_fanout, {}, {}, {}};
    HostSession *one = &c;
    CommandResult r = Outcome::Ok;
    launch_all(&one, 1, &r);
    // A sync reads its files, and starts its further connections, while the agent comes up.
    SyncStart sync;
    if (o.command == Command::Sync && r.ok())
        sync_start(c, sync);
    if (o.command != Command::Sync)
        greet_all(&one, 1, &r);
    else
        connect_failed(c, r);
    if (!r.ok())
        return r;
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
        r = cmd_sync(c, sync);
        break;
    case Command::Hosts:
    case Command::None:
        break;
    }
    // Every connection of the run winds down at once.
    station::agent_end_input(c.agent);
    sync_end(sync);
    // Interrupted, the agent has had its input closed and gets two seconds to answer
    // and remove what it left unfinished.
    int st = station::agent_close(c.agent, station::interrupted ? 2000 : 5000);
    // An agent that had to be killed or died by a signal is worth a word when the
    // exchange itself failed; its own exit status after success tells nothing.
    if (r == Outcome::ConnectionLost && c.agent.signalled)
        say_failure(c, "the agent was killed by signal %d", st - 128);
    // Lines the agent wrote as it ended belong to the request that failed, if one did.
    char hp[80];
    agentlog_flush(c.log, c.o.verbose || !r.ok(), host_prefix(c, hp, sizeof hp));
    agentlog_close(c.log);
    return r;
}
