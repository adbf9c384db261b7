#include "commands.h"

#include "agentcmd.h"
#include "client.h"
#include "outcome.h"
#include "progress.h"
#include "transport.h"

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

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
void say_failure(const HostSession &c, const char *fmt, ...) {
    char hp[80], msg[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(msg, sizeof msg, fmt, ap);
    va_end(ap);
    fprintf(stderr, "tarko_station: %s%s\n", host_prefix(c, hp, sizeof hp), msg);
}

// A result, on standard output unless -q: "HOST: message".
void say_result(const HostSession &c, const char *fmt, ...) {
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

// Starts the agent for the host and says hello within the time the user allows.
// Returns Ok; Usage for an agent command that cannot be used; HostUnavailable after
// saying why.
CommandResult connect(HostSession &c) {
    AgentArgv av;
    if (agent_argv(c.o.agent, c.host, av) != 0) {
        say_failure(c, "the agent command \"%s\" cannot be used (empty or too long)", c.o.agent);
        return Outcome::Usage;
    }
    if (agent_resolve(av, getenv("PATH")) != 0) {
        say_failure(c, "cannot start %s (not found in PATH)", av.argv[0]);
        return Outcome::HostUnavailable;
    }
    std::vector<std::string> argv(av.argv, av.argv + av.argc);
    if (!station::agent_start(c.agent, argv)) {
        say_failure(c, "cannot start %s (%s)", av.argv[0], strerror(errno));
        return Outcome::HostUnavailable;
    }
    c.agent.timeout_ms = c.o.answer_seconds * 1000;
    station::Reply r = station::hello(c.agent);
    c.agent.timeout_ms = REPLY_MS;
    if (c.o.ssh)
        return ssh_connected(c, r);
    if (r.ok())
        return Outcome::Ok;
    if (r == station::ClientError::Interrupted) {
        station::agent_close(c.agent, 2000);
        return CommandResult::interrupted(station::interrupted);
    }
    if (r == station::ClientError::Timeout)
        say_failure(c, "the host did not answer within %d seconds (%s)", c.o.answer_seconds,
                    c.o.agent);
    else if (r == station::ClientError::Hello)
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
        return Outcome::HostUnavailable;
    }
    // A host that said nothing, or nonsense, gets little time to go by itself.
    station::agent_close(c.agent, 200);
    return Outcome::HostUnavailable;
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
// fill) and reports it under the label what.
template <typename Send>
CommandResult upload_one(HostSession &c, const char *what, const char *local, const char *label,
                         Send send) {
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
        return Outcome::LocalUnreadable;
    }
    if (r == station::ClientError::Changed) {
        say_failure(c, "%s: %s changed while it was sent; the host discarded it (%d %s)", what,
                    local, code(up.agent_status), status_meaning(up.agent_status));
        return Outcome::LocalChanged;
    }
    if (!r.ok())
        return report(c, what, r);
    say_result(c, "%s: 0 success (%lld bytes)", what, static_cast<long long>(up.length));
    return Outcome::Ok;
}

// Sends one local file as DIR/NAME (operation 1) and reports it.
CommandResult put_one(HostSession &c, const char *local, const char *dir, const char *name) {
    char rpath[PATH_CAP], what[PATH_CAP + 16];
    remote_path(rpath, sizeof rpath, dir, name);
    snprintf(what, sizeof what, "put %s", rpath);
    return upload_one(c, what, local, name, [&](station::UploadInfo *up) {
        return station::put_path(c.agent, dir, name, local, up);
    });
}

CommandResult cmd_put(HostSession &c) {
    const char *local = c.o.args[0];
    const char *name = c.o.nargs == 3 ? c.o.args[2] : base_name(local);
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
        return Outcome::LocalUnwritable;
    }
    if (!r.ok())
        return report(c, what, r);
    say_result(c, "%s: 0 success (%d bytes)", what, info.length);
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
    CommandResult r = remote_sum(c, c.o.args[0], c.o.args[1], &info, Absent::Reported);
    if (!r.ok())
        return r;
    char rpath[PATH_CAP];
    remote_path(rpath, sizeof rpath, c.o.args[0], c.o.args[1]);
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
    return r;
}

// The host sends its DIR/NAME on to VIA-HOST; the length and checksum that travel with
// it are those of the host's copy, so that the far agent checks what arrives.
CommandResult cmd_push(HostSession &c) {
    const char *via = c.o.args[0], *dir = c.o.args[1], *name = c.o.args[2];
    station::FileInfo info;
    if (CommandResult r = remote_sum(c, dir, name, &info, Absent::Reported); !r.ok())
        return r;
    char rpath[PATH_CAP], what[PATH_CAP + 96];
    remote_path(rpath, sizeof rpath, dir, name);
    snprintf(what, sizeof what, "push %s to %s", rpath, via);
    CommandResult r =
        report(c, what, station::push(c.agent, via, dir, name, info.length, info.checksum));
    if (r.ok())
        say_result(c, "%s: 0 success (%d bytes)", what, info.length);
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
    return r;
}

CommandResult cmd_deploy(HostSession &c) {
    const char *app = c.o.args[0], *archive = c.o.args[1];
    char what[256];
    snprintf(what, sizeof what, "deploy %s", app);
    return upload_one(c, what, archive, app, [&](station::UploadInfo *up) {
        return station::deploy(c.agent, app, archive, up);
    });
}

CommandResult cmd_undeploy(HostSession &c) {
    char what[256];
    snprintf(what, sizeof what, "undeploy %s", c.o.args[0]);
    CommandResult r = report(c, what, station::undeploy(c.agent, c.o.args[0]));
    if (r.ok())
        say_result(c, "%s: 0 success", what);
    return r;
}

// True when nothing more can be done on this connection after a request that gave r.
bool connection_over(CommandResult r) {
    return r == Outcome::ConnectionLost || r == Outcome::Protocol || station::interrupted;
}

// Puts each local file whose length or checksum differs from the host's copy (or that
// the host lacks), skips the others and says so. Every file is tried; the result is
// that of the first file that failed.
CommandResult cmd_sync(HostSession &c) {
    const char *dir = c.o.args[c.o.nargs - 1];
    CommandResult result = Outcome::Ok;
    for (std::size_t i = 0; i + 1 < c.o.nargs; i++) {
        const char *local = c.o.args[i];
        const char *name = base_name(local);
        char rpath[PATH_CAP];
        remote_path(rpath, sizeof rpath, dir, name);
        station::FileInfo mine;
        station::UploadInfo why;
        if (!station::file_sum(local, &mine, &why)) {
            say_failure(c, "sync %s: cannot read %s (%s)", rpath, local,
                        local_error_text(why.local_errno));
            if (result.ok())
                result = Outcome::LocalUnreadable;
            continue;
        }
        station::FileInfo info;
        CommandResult r = remote_sum(c, dir, name, &info, Absent::Expected);
        if (r.ok() && info.length == mine.length && info.checksum == mine.checksum) {
            say_result(c, "skipped %s: unchanged (%lld bytes, checksum %u)", rpath,
                       static_cast<long long>(mine.length), mine.checksum);
            continue;
        }
        if (connection_over(r))
            return result.ok() || station::interrupted ? r : result;
        if (r.ok() || r == Status::CannotOpen)
            r = put_one(c, local, dir, name);
        if (connection_over(r))
            return result.ok() || station::interrupted ? r : result;
        if (!r.ok() && result.ok())
            result = r;
    }
    return result;
}

} // namespace

CommandResult run_command(const Options &o, const char *host, bool in_fanout) {
    HostSession c{o, host, in_fanout, {}, {}};
    if (CommandResult r = connect(c); !r.ok())
        return r;
    CommandResult r = Outcome::Ok;
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
    if (r == Outcome::ConnectionLost && st > 128)
        say_failure(c, "the agent was killed by signal %d", st - 128);
    return r;
}
