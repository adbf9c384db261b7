// The agent's one timer, the process alarm clock, and the signals that end the agent.
// The clock is shared by the request loop (30 s for the first request, 120 s from each
// request header), the timed reads of the relay (10 s each) and the admin script runner
// (the script's own limit and a 15-second grace); each borrower arms the request limit
// again when it is done.
#pragma once

#include <csignal>

// The request time limit: 120 seconds from each request header under
// SignalAlarmTimeout; 30 seconds for the first request.
constexpr unsigned REQUEST_LIMIT = 120;
constexpr unsigned FIRST_REQUEST_LIMIT = 30;

// Set by SignalAudiumTimeout when a script's limit expired; cleared and read by the
// script runner.
extern volatile sig_atomic_t audiumtimedout;

// The request limit expired: logs "Remote timed out", removes the unfinished files of
// the request in progress, closes the log and ends the process with status 1.
void SignalAlarmTimeout(int);
// Does nothing but cut short the blocked read of a timed read (through stream_interrupt).
void SignalReadTimeout(int);
// Sets audiumtimedout and cuts short the script runner's blocked read or wait.
void SignalAudiumTimeout(int);
// SIGTERM, SIGHUP, SIGINT: removes the unfinished files of the request in progress, if
// any (logging "Ended by signal N; removed unfinished PATH"), then ends the process by
// the signal itself.
void SignalTerminate(int sig);

// Installs SignalTerminate for SIGTERM, SIGHUP and SIGINT; while it runs, these and
// the alarm wait.
void catch_termination();

// Installs handler for SIGALRM so that a blocked system call is interrupted rather
// than resumed, and arms the alarm clock for seconds (replacing any pending alarm).
void arm_alarm(unsigned seconds, void (*handler)(int));
