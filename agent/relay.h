// Relay to remote agents: operations 3 (push a local file to another host) and 4
// (delete a file there), over a cached rsh connection to a copy of the agent.
#pragma once

#include "status.h"
#include "stream.h"

#include <cstdint>
#include <sys/types.h>

// The relay connection cache: one connection at most, process-wide.
extern pid_t old_pid;     // rsh child of the cached connection; 0 when none
extern Stream old_in;     // requests to the remote agent
extern Stream old_out;    // replies from the remote agent
extern char old_mach[64]; // host of the cached connection
extern std::int32_t old_seq;

// Hands out a connection to host: the cached one (with the next sequence number) or a
// new one after the hello. Returns Ok, PipeFailed, ForkFailed or NoHello.
Status connect_to_remote(const char *host, pid_t *pid, Stream **in, Stream **out,
                         std::int32_t *seq);

Status push_file_to_rmt_machine();
Status delete_file_on_rmt_machine();
