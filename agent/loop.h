// The request loop and the agent's one timer: the process alarm clock, shared by the
// loop (30 s for the first request, 120 s from each request header), the timed reads of
// the relay and the admin script runner.
#pragma once

#include <csignal>

// Set by SignalAudiumTimeout; cleared and read by the script runner.
extern volatile sig_atomic_t audiumtimedout;

// Logs "Remote timed out", closes the log and ends the process with status 1.
void SignalAlarmTimeout(int);
// Does nothing: it only interrupts the blocked read of a timed read.
void SignalReadTimeout(int);
// Sets audiumtimedout.
void SignalAudiumTimeout(int);
// SIGTERM, SIGHUP, SIGINT: removes the unfinished files of the request in progress, if
// any (logging "Ended by signal N; removed unfinished PATH"), then ends the process by
// the signal itself.
void SignalTerminate(int sig);

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

// Installs SignalTerminate for SIGTERM, SIGHUP and SIGINT; while it runs, these and
// the alarm wait.
void catch_termination();

// Installs handler for SIGALRM so that a blocked system call is interrupted rather
// than resumed, and arms the alarm clock for seconds (replacing any pending alarm).
void arm_alarm(unsigned seconds, void (*handler)(int));

// The request time limit: 120 seconds under SignalAlarmTimeout.
constexpr unsigned REQUEST_LIMIT = 120;
constexpr unsigned FIRST_REQUEST_LIMIT = 30;

// Reads and serves requests until the input ends (the process ends inside) or a
// sequence number mismatches (answered with status 5, then it returns).
void read_requests();
