// One command on many hosts: a child process per host, at most N at a time, each with
// its own connection; their output is passed on line by line with the host's name in
// front, and a summary table closes the run.
#pragma once

#include <cstddef>
#include <cstdio>

#include <csignal>

struct HostOutcome {
    int code = -1;        // the child's exit status; 128 + the signal when one killed it;
                          // -1 when the host was never started
    double seconds = 0.0; // from the start of the child to its end
};

// The work for one host, run in the child; its result becomes the exit status (0-255).
using HostJob = int (*)(const char *host, void *arg);

// Runs job for each of the n hosts, at most jobs of them at a time, in the order given.
// Standard output and standard error of every child reach ours with "HOST: " before
// each line. Fills out[i] for hosts[i]. Returns the number of hosts whose code is not
// 0. A host whose child cannot be started (the system refused a pipe or a process)
// gets the code of Outcome::NoChild, and the reason goes to standard error.
//
// Once *stop is set (by a signal handler: the number of the signal that ends the
// station), no further host is started, the signal is passed on to every running
// child, and children still running 3 seconds later are killed; their hosts keep -1
// when they were never started.
int fanout_run(const char *const *hosts, std::size_t n, int jobs, HostJob job, void *arg,
               HostOutcome *out, const volatile sig_atomic_t *stop = nullptr);

// Receives the children's lines in place of our standard output and error: the host
// (the pointer given in hosts), the stream (1 or 2) and the line without its newline.
using LineSink = void (*)(const char *host, int stream, const char *line, std::size_t n, void *ctx);

// Sends the lines of the fan-outs that follow to sink (nullptr: to our standard output
// and error with "HOST: " in front, as by default).
void fanout_set_sink(LineSink sink, void *ctx);

// Prints the summary table: host, status code, its meaning (from meaning), seconds.
// Hosts that were never started are left out.
void fanout_table(FILE *f, const char *const *hosts, std::size_t n, const HostOutcome *out,
                  const char *(*meaning)(int code));
