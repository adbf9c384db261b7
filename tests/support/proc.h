// Child processes for black-box tests: every program a test starts runs under a time
// limit, so a hang fails the test instead of stalling the suite.
#pragma once

#include <chrono>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace testproc {

// Path of a program built into build/bin.
std::string bin(const char *name);

struct Result {
    int status = -1;        // exit status, or 128 + signal number when killed by a signal
    bool timed_out = false; // the time limit ran out and the child was killed
    std::string out, err;   // everything written to standard output and standard error
};

struct Options {
    std::string input;              // written to standard input, which is then closed
    std::size_t input_piece = 0;    // when not 0, input goes in pieces of 1, 2, ... up to
                                    // this many bytes, each a millisecond after the last
    int timeout_ms = 20000;         // the child is killed with SIGKILL after this
    const char *cwd = nullptr;      // working directory of the child
    std::vector<std::string> env;   // NAME=VALUE entries set (or replaced) in the environment
    std::vector<std::string> unset; // names removed from the environment
    std::string argv0;              // argument 0 when not empty (the program path stays argv[0])
};

// Runs argv[0] with the arguments and waits for it within the time limit.
Result run(const std::vector<std::string> &argv, const Options &opt = {});

// A child whose standard input and output are pipes held by the test, for protocol
// exchanges; standard error is collected in the background into err_path.
struct Child {
    pid_t pid = -1;
    int in = -1;  // write end: the child's standard input
    int out = -1; // read end: the child's standard output
    int err = -1; // read end: the child's standard error
};

// Starts a child; returns false when the program cannot be started.
bool spawn(Child &c, const std::vector<std::string> &argv, const Options &opt = {});

// Closes the test's end of the child's standard input.
void close_input(Child &c);

// Waits for the child to end within timeout_ms, killing it with SIGKILL afterwards.
// Returns the exit status (128 + signal when killed by a signal), -1 on time-out.
int wait(Child &c, int timeout_ms);

// Reads what remains of the child's standard error (until it closes or timeout_ms).
std::string read_all(int fd, int timeout_ms);

// Reads exactly n bytes from fd within timeout_ms; returns what came (shorter on
// end of stream or time-out).
std::string read_n(int fd, size_t n, int timeout_ms);

// Writes all of data to fd; false when the write failed (for example the reader is gone).
bool write_all(int fd, const std::string &data);

// Kills the child if it is still running and releases its descriptors.
void reap(Child &c);

// Waits up to ms for pred to hold; returns its last value.
template <class Pred>
bool wait_until(Pred pred, int ms = 5000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end)
            return pred();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

} // namespace testproc
