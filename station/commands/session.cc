#include "session.h"

#include "agentcmd.h"
#include "transport.h"

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace cmd {

namespace {

// The agent command as it runs for this host, {host} replaced.
void agent_words(const AgentArgv &av, char *buf, std::size_t cap) {
    std::size_t n = 0;
    buf[0] = '\0';
    for (std::size_t i = 0; i < av.words.size() && n + 1 < cap; i++) {
        int w = snprintf(buf + n, cap - n, "%s%s", i ? " " : "", av.words[i].c_str());
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
    if (agent_argv(c.o.agent.c_str(), c.host, av) != 0) {
        say_failure(c, "the agent command \"%s\" cannot be used (empty)", c.o.agent.c_str());
        return Outcome::Usage;
    }
    agent_words(av, c.shown, sizeof c.shown);
    if (agent_resolve(av, getenv("PATH")) != 0) {
        say_failure(c, "cannot start %s (not found in PATH)", av.words[0].c_str());
        return Outcome::HostUnavailable;
    }
    std::vector<std::string> &argv = av.words;
    // The agent's standard error is its activity log: caught, to be shown with failures.
    agentlog_open(c.log);
    int saved = agentlog_swap(c.log, true, -1);
    // Over a shared connection that stands, the session is opened without ssh.
    char socket[512];
    bool started = c.o.ssh && ssh_socket(c.host, socket, sizeof socket) == 0 &&
                   station::agent_start_shared(c.agent, socket, SSH_REMOTE_AGENT);
    started = started || station::agent_start(c.agent, argv);
    agentlog_swap(c.log, false, saved);
    if (!started) {
        say_failure(c, "cannot start %s (%s)", argv[0].c_str(), strerror(errno));
        return Outcome::HostUnavailable;
    }
    // Every request of the session is paced alike, whatever its operation.
    if (c.o.bwlimit > 0) {
        station::pacer_start(c.pacer, c.o.bwlimit);
        c.agent.pacer = &c.pacer;
    }
    // The hello waits in the pipe until the agent is up; a failure to send it shows
    // when its answer is read.
    station::hello_send(c.agent);
    return Outcome::Ok;
}

// Says hello to the agent connect_launch started, within the time the user allows.
// Returns Ok, or HostUnavailable after saying why.
CommandResult connect_greet(HostSession &c) {
    c.agent.timeout_ms = c.o.answer_seconds * 1000;
    station::Reply r = station::hello_receive(c.agent);
    c.agent.timeout_ms = REPLY_MS;
    return greet_result(c, r);
}

} // namespace

void format(char *buf, std::size_t cap, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, cap, fmt, ap);
    va_end(ap);
}

const char *host_prefix(const HostSession &c, char *buf, std::size_t cap) {
    if (c.fanout)
        return "";
    snprintf(buf, cap, "%s: ", c.host);
    return buf;
}

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

void note(const HostSession &c, const char *command, const char *path, CommandResult result,
          std::int64_t bytes, const std::uint32_t *checksum) {
    RequestNote n;
    n.command = command;
    n.path = path;
    n.status = result.exit_code();
    n.bytes = bytes;
    n.has_checksum = checksum != nullptr;
    n.checksum = checksum ? *checksum : 0;
    journal_request(c.o, c.host, n);
}

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

// Starts the agents of every session (connect_launch), so that their start-ups (an ssh
// handshake each) overlap with one another and with what the caller does meanwhile.
void launch_all(HostSession *const *cs, std::size_t n, CommandResult *results) {
    journal_start();
    for (std::size_t i = 0; i < n; i++)
        results[i] = station::interrupted ? CommandResult::interrupted(station::interrupted)
                                          : connect_launch(*cs[i]);
}

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

void connect_all(HostSession *const *cs, std::size_t n, CommandResult *results) {
    launch_all(cs, n, results);
    greet_all(cs, n, results);
}

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
    return report(c, what, station::client_error(r.fail));
}

} // namespace cmd
