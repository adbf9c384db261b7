// The options of a rollout and the arithmetic of its plan: how many hosts each step
// takes, and how many failures the whole rollout may have before it halts.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// What `rollout` was asked to do besides its own options.
enum class RolloutMode { Run, Plan, Status, Resume, Rollback };

struct RolloutOptions {
    RolloutMode mode = RolloutMode::Run;
    const char *id = nullptr;       // --resume ID, --rollback ID, --status ID
    int canary = 1;                 // --canary N: hosts of the first step
    const char *steps = "100%";     // --steps LIST
    const char *check = nullptr;    // --check COMMAND, run by /bin/sh -c
    int check_tries = 3;            // --check-tries N
    double check_interval = 5;      // --check-interval SECONDS between tries
    double check_timeout = 30;      // --check-timeout SECONDS of one try
    double bake = 0;                // --bake SECONDS after each step
    const char *max_failures = "0"; // --max-failures N or P%
    bool halt_only = false;         // --on-failure halt: no rollback
    bool redeploy = false;          // --redeploy: hosts on this release too
    const char *previous = nullptr; // --previous ARCHIVE for hosts of unknown release
    int keep = 5;                   // --keep N releases per application
};

// Takes the option at argv[i] when it is one of the rollout's (advancing i past its
// value). Returns -1 when it is not, 0 when it was taken, or 64 with the reason in err.
int rollout_option(int argc, char **argv, int &i, RolloutOptions &r, char *err, std::size_t cap);

// One entry of --steps: a count of hosts, or a percentage of the hosts left after the
// canary.
struct StepSpec {
    bool percent = false;
    unsigned value = 0;
};

// Parses "10%,25%,100%" or "2,5". Returns false for an empty list, an entry that is not
// a count from 1 or a percentage from 1 to 100.
bool parse_steps(const char *text, std::vector<StepSpec> &out);

// The sizes of the steps over hosts: the canary first (at most hosts), then each entry
// of steps taken over the hosts left after it, the last entry repeated until every host
// has its step. A percentage is rounded up and never less than one host.
std::vector<std::size_t> step_sizes(std::size_t hosts, std::size_t canary,
                                    const std::vector<StepSpec> &steps);

// The failures a rollout of hosts may have: N, or P% of the hosts rounded down. Returns
// false when the text is neither.
bool failure_budget(const char *text, std::size_t hosts, std::size_t &budget);

// Whether failures halt the rollout: once they are one more than the budget.
constexpr bool budget_spent(std::size_t failures, std::size_t budget) {
    return failures > budget;
}
