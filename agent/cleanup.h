// What an agent that is told to end, or runs out of time, removes before it goes: the
// unfinished files of the request it is in the middle of. Only what this agent made
// and holds is ever armed here, so another agent's upload is never touched.
#pragma once

#include <sys/types.h>

// Arms the file at path (an upload's temporary, a deployment's archive, created and
// held by this agent) for removal; its identity is taken now, and the removal leaves
// alone whatever else stands at path by then. nullptr disarms it.
void cleanup_file(const char *path);

// Arms the directory tree at path (a deployment's work copy being built); nullptr
// disarms it.
void cleanup_tree(const char *path);

// Arms a child that writes into the armed tree (jar): it is killed and waited for
// before the tree is removed. 0 disarms it.
void cleanup_child(pid_t pid);

// Removes what is armed, using only async-signal-safe calls, and logs one line: the
// prefix followed by "removed unfinished PATH" (and " and PATH" for a second one), or
// "Removed unfinished PATH" without a prefix.
// Returns false, doing nothing, when nothing is armed. Meant for signal handlers that
// end the process.
bool cleanup_now(const char *prefix);
