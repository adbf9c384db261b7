// The command line of tarko_station: options, the command and its arguments.
#pragma once

#include "hostset.h"
#include "protocol.h"
#include "rollout_plan.h"

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

constexpr std::size_t STATE_CAP = 1024; // the state directory's path
constexpr int MAX_STREAMS = 64;         // --streams: connections per host
constexpr int MAX_TREE_FANOUT = 16;     // --tree K: hosts each holder serves per round

// The default way to reach a host: its own rsh starting its agent.
constexpr const char *DEFAULT_AGENT = "/usr/bin/rsh {host} /usr/local/bin/tarko_remote2";

enum class Command {
    None,
    Put,
    Get,
    Sum,
    Rm,
    Push,
    RmRemote,
    Deploy,
    Undeploy,
    Sync,
    Hosts,
    Rollout
};

struct Options {
    std::vector<std::string> hosts; // from -H less -x, in order
    bool hosts_named = false;       // -H (or the hosts command) named hosts, however many remain
    HostSources sources;            // where @group and @failed are looked up; set before parsing
    int jobs = 4;                   // -j: hosts served at a time
    int answer_seconds = 15;        // -t: how long a host may take to answer the hello
    std::string agent;              // --agent, else TARKO_AGENT, else DEFAULT_AGENT
    bool ssh = false;               // --ssh or TARKO_TRANSPORT=ssh: agents through OpenSSH
    bool help = false;              // --help
    bool version = false;           // --version
    bool quiet = false;             // -q: no result lines, only failures, no table
    bool no_progress = false;       // --no-progress
    bool json = false;              // --json: JSON lines on standard output
    bool no_fold = false;           // --no-fold: every host's lines of its own
    bool verbose = false;           // -v: the agents' log lines even for requests that succeeded
    bool force = false;             // --force: no layout check of a deployment's archive
    char state[STATE_CAP] = {};     // the state directory; empty: nothing is recorded
    const char *command_line = "";  // the whole command line, for the audit log
    bool recursive = false;         // -r: sync takes LOCALDIR REMOTEDIR
    bool dry_run = false;           // -n: sync only says what it would put
    std::vector<const char *> excludes; // sync -r patterns, pointing into argv
    int streams = 1;                    // --streams: agent connections per host for sync
    double bwlimit = 0;                 // --bwlimit in bytes per second; 0 when unlimited
    int tree = 0;                       // --tree K for put and sync to many hosts; 0 when not asked
    RolloutOptions rollout;             // the options of the rollout command
    Command command = Command::None;
    std::vector<const char *> args; // the command's arguments, pointing into argv
};

// Parses argv. env_agent is the value of TARKO_AGENT (nullptr when unset); the
// environment's TARKO_TRANSPORT=ssh stands for --ssh unless --agent is given. The host
// expressions of -H (and the argument of the hosts command) are expanded, those of -x
// taken out, through o.sources. Returns 0 when the command line is sound (or asks only
// for --help or --version); otherwise 64, after writing the reason into err (capacity errcap): for
// a host expression, where and at which position it is at fault.
int parse_options(int argc, char **argv, const char *env_agent, Options &o, char *err,
                  std::size_t errcap);

// The most hosts a fan-out can serve at a time (-j) within the station's limit of open
// files: each running host holds two pipes of the station open.
int jobs_limit();

// Raises the station's limit of open files to the most the system allows it, so that -j
// may go as far as the descriptors reach. Quietly leaves it when the system refuses.
void raise_open_files();

// The name of a command as typed ("put", ...); "" for Command::None.
const char *command_name(Command c);

// Writes the usage summary (the --help text) to the stream.
void print_usage(FILE *f);
