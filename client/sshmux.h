// Sessions over a shared ssh connection, opened through the control socket of its
// master with the protocol that ssh's own multiplexing clients speak, so that no ssh
// process has to start for them. The master runs the command on the host and moves its
// standard input, output and error through descriptors handed to it.
#pragma once

namespace station {

// Opens a session running command, with in, out and err as its standard input, output
// and error (the master keeps copies of them). Returns the control connection, which
// must stay open for as long as the session lasts (closing it ends the session); -1
// with errno set when no master listens at socket or it would not take the session.
int mux_open(const char *socket, const char *command, int in, int out, int err);

// Waits up to timeout_ms for the session of control connection ctl to end. Returns
// its exit status; 255 when the master dropped it without one, as ssh then exits;
// -1 when it did not end in time.
int mux_wait(int ctl, int timeout_ms);

} // namespace station
