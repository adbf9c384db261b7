// The runs of tarko_station: on one host, on many at a time with folded or JSON
// output, and what every run leaves in the state directory.
#pragma once

#include "fanout.h"
#include "fold.h"
#include "options.h"

#include <vector>

// Finds the state directory and the host file from the environment and puts them into
// o (o.state, o.sources), before the command line is parsed.
void locate_state(Options &o);

// Creates the state directory of o; when it cannot be written, says so once on
// standard error and clears o.state, so that the run goes on without it.
void prepare_state(Options &o);

// Runs the command on the one host of o (or on the agent of --agent when no host is
// named: "local") and records the result. Returns the exit status.
int run_single(const Options &o);

// Runs the command on every host of o, at most o.jobs at a time, and prints the folded
// (or, with --no-fold, per-host) lines, the summary table and, with --json, the hosts'
// and the totals' objects. Returns the exit status of the fan-out.
int run_fanout(const Options &o);

// Ends a run over the hosts of o: prints the lines they gave (folded unless --no-fold;
// those of standard output on standard error with --json), the summary table unless
// -q, records the failed hosts for @failed and, with --json, the hosts' and the totals'
// objects. Returns the exit status of the run (fanout_status).
int fleet_report(const Options &o, const char *const *hosts, const HostOutcome *outcomes,
                 const std::vector<HostLine> &lines, double seconds);

// Prints the hosts of o, one a line.
int print_hosts(const Options &o);
