#include "commands.h"

#include "rollout_store.h"
#include "session.h"
#include "sync.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace cmd;

namespace {

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

CommandResult cmd_put(HostSession &c) {
    const char *local = c.o.args[0];
    const char *name = c.o.args.size() == 3 ? c.o.args[2] : base_name(local);
    return put_one(c, local, c.o.args[1], name);
}

// Fetches DIR/NAME into a temporary file beside LOCAL and renames it into place only
// when the whole file has come and its checksum matched.
CommandResult cmd_get(HostSession &c) {
    const char *dir = c.o.args[0], *name = c.o.args[1];
    char local[PATH_CAP], rpath[PATH_CAP], what[2 * PATH_CAP];
    int n = 0;
    const char *given = c.o.args.size() == 3 ? c.o.args[2] : name;
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
    station::UploadInfo sent;
    CommandResult r =
        upload_one(c, what, archive, app, "deploy", app, [&](station::UploadInfo *up) {
            station::Reply reply = station::deploy(c.agent, app, archive, up);
            sent = *up;
            return reply;
        });
    if (r.ok())
        ledger_deployed(c.o.state, c.o.rollout.keep, c.host, app, archive, sent.checksum,
                        sent.length);
    return r;
}

CommandResult cmd_undeploy(HostSession &c) {
    char what[256];
    snprintf(what, sizeof what, "undeploy %s", c.o.args[0]);
    CommandResult r = report(c, what, station::undeploy(c.agent, c.o.args[0]));
    if (r.ok()) {
        say_result(c, "%s: 0 success", what);
        ledger_deployed(c.o.state, c.o.rollout.keep, c.host, c.o.args[0], nullptr, 0, 0);
    }
    note(c, "undeploy", c.o.args[0], r);
    return r;
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
            agents[i].pacer = nullptr; // the session's, which ends here; callers pace their own
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
    // The hello of a sync is answered in the run of its sums.
    if (o.command == Command::Sync)
        connect_failed(c, r);
    else
        greet_all(&one, 1, &r);
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
    case Command::Rollout:
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
