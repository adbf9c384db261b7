// put --tree and sync --tree: one process holds a connection to every host, sends each
// file from the station to a first host and has the hosts that hold a verified copy push
// it on (operation 3) to those that lack it as soon as they are free (relaytree.h).
#pragma once

#include "options.h"

// Runs the put or sync of o over the hosts of o. Prints per file which hosts served
// whom ("tree DIR/NAME: HOSTS from SOURCE, ..."), then the hosts' lines folded as a
// fan-out's ("HOSTS: put DIR/NAME: 0 success (N bytes)"), the summary table, and
// records the run as a fan-out does (--json, the audit log, @failed). Returns the
// fan-out's status (0, 1, 69) or the station's own failure (64, 66, 128 + signal).
int run_tree(const Options &o);
