// What the station's requests leave behind besides their result lines: a JSON line per
// request for scripts (--json), an audit line per request in the state directory, the
// agent's log lines held back unless the request failed; and the checks and rules of a
// run over many hosts.
#pragma once

#include "fanout.h"
#include "options.h"

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

// One request as it is recorded.
struct RequestNote {
    const char *command = ""; // put, get, sum, rm, push, rmremote, deploy, undeploy, skip,
                              // connect
    const char *path = "";    // the path on the host, or the application
    int status = 0;           // the exit status the request gives (0, 2-23, 64-76)
    std::int64_t bytes = -1;  // -1: not known
    bool has_checksum = false;
    std::uint32_t checksum = 0;
};

// Starts the clock of the host's first request.
void journal_start();

// Records one request of host: a JSON object on standard output with --json, a line of
// the audit log when the state directory is kept. Seconds count from the previous
// request of this process (or from journal_start).
void journal_request(const Options &o, const char *host, const RequestNote &n);

// The JSON object of one host's final status, and the last object with the totals.
void json_host(const char *host, int status, double seconds);
void json_total(const HostOutcome *out, std::size_t n, int status, double seconds);

// The agent's log lines (its standard error), caught in a file of their own.
struct AgentLog {
    int fd = -1;     // the memory file the agent writes to; -1 when none could be made
    off_t shown = 0; // what has been dealt with so far
};

// Opens the log's file; its descriptor is the standard error of the agent started next
// (see agentlog_swap). Returns 0, or -1 when none could be made (the agent then writes
// to ours).
int agentlog_open(AgentLog &l);

// Puts the log's file in place of our standard error (in = true) for the agent to
// inherit, or puts ours back (in = false, with the saved descriptor).
int agentlog_swap(AgentLog &l, bool in, int saved);

// Deals with what the agent has written since the last call: written to our standard
// error with prefix before each line when show is set, else dropped.
void agentlog_flush(AgentLog &l, bool show, const char *prefix);

void agentlog_close(AgentLog &l);

// Checks the local files of the command before any host is contacted: readable regular
// files for put, sync and deploy, and for deploy (unless --force) the archive's layout.
// Returns 0; otherwise 66 after writing the reason (one message, without newline) into
// err.
int check_local_files(const Options &o, char *err, std::size_t cap);

// The exit status of a fan-out: 0 when every host succeeded; 69 when some host could not
// be reached or its agent not started and no host failed a request; 1 otherwise.
int fanout_status(const HostOutcome *out, std::size_t n);

// True for the codes of a host that was never reached (69, and 71: no process for it).
bool unreachable(int code);
