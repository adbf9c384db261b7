// What the station keeps of deployments in its state directory: every archive it
// deployed (releases/APP/CHECKSUM-LENGTH.jar), the ledger of which release of which
// application each host runs, and each rollout's plan and journal (rollouts/ID/).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

// The name of a release: the archive's checksum and length, as the agent checks them.
std::string release_id(std::uint32_t checksum, std::int64_t length);

// The kept copy of a release.
std::string release_path(const std::string &state, const std::string &app, const std::string &id);

// Keeps archive as release id of app (a copy renamed into place, so that concurrent
// stations see it whole or not at all) unless it is kept already, and removes the
// releases of app kept first beyond keep, except those the ledger says a host runs.
// Returns 0 or the errno value.
int release_keep(const std::string &state, const std::string &app, const char *archive,
                 const std::string &id, int keep);

// Appends "TIME HOST APP RELEASE" to the ledger with one write; release "none" says the
// host no longer has the application. Returns 0 or the errno value.
int ledger_append(const std::string &state, const char *host, const char *app,
                  const std::string &release);

// Keeps the archive a host answered 0 for as a release (keep per application), and notes
// in the ledger that host runs it (archive null: the application was withdrawn). Says
// on standard error what could not be kept or written; a state directory of "" keeps
// nothing.
void ledger_deployed(const std::string &state, int keep, const char *host, const char *app,
                     const char *archive, std::uint32_t checksum, std::int64_t length);

// The release of app each host runs by the ledger (its last line for the host).
std::map<std::string, std::string> ledger_read(const std::string &state, const std::string &app);

// A rollout as planned: what the journal's states are read against, and what --resume
// and --rollback take up again.
struct RolloutPlan {
    std::string id;
    std::string app, release;
    std::string check; // empty: no check
    int check_tries = 3;
    double check_interval = 5, check_timeout = 30, bake = 0;
    std::size_t budget = 0;
    bool halt_only = false;
    int jobs = 4;
    std::vector<std::string> current;            // skipped: already on the release
    std::vector<std::vector<std::string>> steps; // the hosts of each step, in order
    std::map<std::string, std::string> previous; // host: its release before, "none" or
                                                 // "unknown"
};

// Creates rollouts/ID for a new rollout and writes its plan there. Returns 0 with
// plan.id set, or the errno value.
int rollout_create(const std::string &state, RolloutPlan &plan);

// Writes the plan of an existing rollout again, after what it learnt of a host.
int rollout_save(const std::string &state, const RolloutPlan &plan);

// Reads the plan of rollout id ("" for the last one). Returns 0, or the errno value.
int rollout_load(const std::string &state, const std::string &id, RolloutPlan &plan);

// One change of a host's state as the journal keeps it.
struct JournalEntry {
    std::string host, state;
    int code = 0; // the host's code for that state
};

// The journal of a rollout: appended line by line, synced before the next step.
struct Journal {
    int fd = -1;
};

int journal_open(const std::string &state, const std::string &id, Journal &j);
void journal_add(Journal &j, const JournalEntry &e);
int journal_sync(Journal &j);
void journal_close(Journal &j);
std::vector<JournalEntry> journal_read(const std::string &state, const std::string &id);
