// The request loop of the agent, and the set-up of the process it runs in. Its time
// limits are those of alarm.h.
#pragma once

// Opens /dev/null onto each of the descriptors 0, 1 and 2 that is missing. Started
// without one, the agent would hand that number to the next file or pipe it opens, and
// answers or log lines would land in an upload or a relay pipe; the children's pipe
// ends, too, are then never 0 to 2.
void fill_standard_descriptors();

// Makes a write to a pipe whose reader has gone (a relay or script child, or the
// station) fail with EPIPE like any other failed write, instead of ending the agent.
// SIGPIPE is caught by a handler that does nothing rather than ignored, because an
// ignored signal stays ignored across exec: rsh, sh and jar start with the default.
void catch_sigpipe();

// Reads and serves requests until the input ends (the process ends inside) or a
// sequence number mismatches (answered with status 5, then it returns). A hello is
// answered at once; a request with the expected sequence number arms the request limit
// and goes to the handler of its operation, whose status is the final response.
void read_requests();
