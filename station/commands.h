// The commands of tarko_station, each run against one host over its own connection.
#pragma once

#include "options.h"
#include "outcome.h"

// Runs the command of o against host: starts its agent, says hello, makes the requests,
// prints one result line per file (standard output) or the failure (standard error),
// and closes the connection. in_fanout is set in the child of a fan-out: messages then
// leave the host's name out (the fan-out puts it before every line) and get writes to
// LOCAL.HOST. Returns Ok, the agent's final status (2 to 23) or another Outcome of the
// station; its exit_code() is the exit status.
CommandResult run_command(const Options &o, const char *host, bool in_fanout);
