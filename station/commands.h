// The commands of tarko_station, each run against one host over its own connection.
#pragma once

#include "client.h"
#include "options.h"

// Runs the command of o against host: starts its agent, says hello, makes the requests,
// prints one result line per file (standard output) or the failure (standard error),
// and closes the connection. in_fanout is set in the child of a fan-out: messages then
// leave the host's name out (the fan-out puts it before every line) and get writes to
// LOCAL.HOST. Returns the exit status: 0, the agent's status code (2 to 23), or an
// Outcome of the station (outcome.h).
int run_command(const Options &o, const char *host, bool in_fanout);

// Starts host's agent and says hello as every command does, into a. Returns 0, or the
// exit status after saying why on standard error ("tarko_station: HOST: ...").
int connect_agent(const Options &o, const char *host, station::Agent &a);
