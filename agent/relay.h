// Relay to remote agents: operations 3 (push a local file to another host) and 4
// (delete a file there), over a cached rsh connection to a copy of the agent, and the
// timed reads with which the relay reads that agent's replies.
#pragma once

#include "status.h"
#include "stream.h"

#include <cstddef>
#include <cstdint>

// Operation 3: reads the host, directory, name, length and checksum of the request and
// sends the local file dir/name to the agent on host as its operation 1, with the
// length and checksum unchanged. Returns the far agent's final status; IsDirectory or
// CannotOpen for the local file; PipeFailed, ForkFailed or NoHello when no connection
// could be made; NoResponse or SeqMismatch for a reply that did not come right;
// Failed when the far agent said 0 where it had to say 1; ShortRead or ShortWrite when
// the local data could not be read or sent whole.
Status push_file_to_rmt_machine();

// Operation 4: reads the host, directory and name and has the agent on host delete
// dir/name (its operation 2). Returns the far agent's final status, or the connection
// and reply failures of push_file_to_rmt_machine.
Status delete_file_on_rmt_machine();

// Reads up to count items of size bytes from s within seconds: the alarm interrupts the
// read. Afterwards the 120-second request limit is armed again. Returns the whole items
// read.
std::size_t timedfread(void *buf, std::size_t size, std::size_t count, Stream &s, unsigned seconds);

// Reads one response for the expected sequence number, skipping every byte before 'R'.
// Returns its status; SeqMismatch when it answers another number (its status bytes stay
// unread); NoResponse when a read gets less than its item within 10 seconds.
Status read_response(std::int32_t expected, Stream &s);
