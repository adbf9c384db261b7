// put --tree and sync --tree: one process holds a connection to every host, sends each
// file once from the station and has the hosts that hold a verified copy push it on
// (operation 3) to those that lack it, round by round (relaytree.h).
#pragma once

#include "options.h"

// Runs the put or sync of o over the hosts of o. Prints a line per transfer
// ("HOST: put DIR/NAME: 0 success (N bytes) from SOURCE"), which host served whom, and
// the summary table. Returns 0 when every host holds every file, 1 when some host
// does not, or the station's own failure (64, 66, 128 + signal).
int run_tree(const Options &o);
