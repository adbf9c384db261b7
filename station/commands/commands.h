// The commands of tarko_station, each run against one host over its own connection.
#pragma once

#include "client.h"
#include "options.h"
#include "outcome.h"

#include <cstddef>

// Runs the command of o against host: starts its agent, says hello, makes the requests,
// prints one result line per file (standard output) or the failure (standard error),
// and closes the connection. in_fanout is set in the child of a fan-out: messages then
// leave the host's name out (the fan-out puts it before every line) and get writes to
// LOCAL.HOST. Returns Ok, the agent's final status (2 to 23) or another Outcome of the
// station; its exit_code() is the exit status.
CommandResult run_command(const Options &o, const char *host, bool in_fanout);

// Starts the agents of the n hosts, all before the first hello so that their start-ups
// overlap, and says hello to each as every command does. agents[i] is usable when
// codes[i] is 0; otherwise codes[i] is the exit status, said on standard error
// ("tarko_station: HOST: ..."). Returns the number of hosts reached.
int connect_agents(const Options &o, const char *const *hosts, std::size_t n,
                   station::Agent *agents, int *codes);
