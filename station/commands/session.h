// One command's connection to one host: starting its agent and saying hello, and the
// messages, results and records of its requests. Shared by the commands and by sync.
#pragma once

#include "client.h"
#include "fleet.h"
#include "options.h"
#include "outcome.h"
#include "pipeline.h"
#include "progress.h"

#include <cstddef>
#include <cstdint>

namespace cmd {

constexpr int REPLY_MS = 130000; // the agent itself gives up 120 s after a request header
constexpr std::size_t PATH_CAP = 4096;

// One command's connection to one host, with what its messages need to know.
struct HostSession {
    const Options &o;
    const char *host;
    bool fanout;
    station::Agent agent;
    ProgressBar bar;
    AgentLog log;           // the agent's standard error, shown with failures (or always with -v)
    char shown[1024] = "";  // the agent command, for messages
    station::Pacer pacer{}; // --bwlimit, for every request of the session
};

// snprintf whose truncation is expected and harmless (bounded messages and paths
// whose lengths were checked before).
void format(char *buf, std::size_t cap, const char *fmt, ...) __attribute__((format(printf, 3, 4)));

// "HOST: " before a message, except in a fan-out, which puts it before every line.
const char *host_prefix(const HostSession &c, char *buf, std::size_t cap);

// A failure, on standard error: "tarko_station: HOST: message".
void say_failure(HostSession &c, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// A result, on standard output unless -q (standard error with --json): "HOST: message".
// The agent's log lines of a request that succeeded are shown only with -v.
void say_result(HostSession &c, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// Records a request for --json and the audit log.
void note(const HostSession &c, const char *command, const char *path, CommandResult result,
          std::int64_t bytes = -1, const std::uint32_t *checksum = nullptr);

// Turns the result of one request into the exit status and its message. what names the
// request ("put /d/f"). Agent statuses are shown with their meaning; client errors with
// their cause.
CommandResult report(HostSession &c, const char *what, station::Reply r);

// What the hello's answer r means for the connection: Ok, or HostUnavailable after
// saying why.
CommandResult greet_result(HostSession &c, station::Reply r);

// Starts the agents of every session, so that their start-ups (an ssh handshake each)
// overlap with one another and with what the caller does meanwhile; each sends its
// hello at once.
void launch_all(HostSession *const *cs, std::size_t n, CommandResult *results);

// A connection that did not come up shows what its agent command wrote and is
// recorded as a request "connect".
void connect_failed(HostSession &c, const CommandResult &r);

// Waits for the hello's answer of every agent launch_all started.
void greet_all(HostSession *const *cs, std::size_t n, CommandResult *results);

// Connects to every session's host, all agents started before the first hello.
void connect_all(HostSession *const *cs, std::size_t n, CommandResult *results);

// Joins DIR and NAME as the agent does: no normalisation.
void remote_path(char *buf, std::size_t cap, const char *dir, const char *name);

const char *base_name(const char *path);
bool progress_wanted(const HostSession &c);
void bar_hook(void *ctx, std::int64_t done, std::int64_t);
const char *local_error_text(int e);

// The result of one pipelined request, reported under what; 0 when it succeeded.
// broke is the connection's: the first request that ended it is reported, the ones
// after it only counted.
CommandResult pipe_result(HostSession &c, const char *what, const station::PipeRequest &r,
                          char &broke);

} // namespace cmd
