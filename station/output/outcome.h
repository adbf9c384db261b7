// The exit statuses of tarko_station and their meanings. An operation the agent
// answered ends with the agent's status code itself (0, or 2 to 23); what went wrong
// on the station's side has codes of its own, above the agent's range.
#pragma once

#include "status.h"

enum class Outcome : int {
    Ok = 0,
    SomeHostFailed = 1,   // a fan-out in which one host or more failed
    Usage = 64,           // the command line is wrong
    LocalChanged = 65,    // the local file changed while it was sent; the agent discarded it
    LocalUnreadable = 66, // the local file cannot be opened or read, or is too long to send
    HostUnavailable = 69, // the agent could not be started or did not answer the hello
    NoChild = 71,         // a process or pipe for the fan-out could not be created
    LocalUnwritable = 73, // the local file of a get cannot be created, written or put in place
    ConnectionLost = 74,  // the agent's connection ended or went silent mid-exchange
    Protocol = 76,        // the agent answered something the exchange does not allow
};

constexpr int code(Outcome o) {
    return static_cast<int>(o);
}

// The exit status of a station ended by signal sig (SIGINT, SIGTERM or SIGHUP), by the
// shell's convention.
constexpr int interrupted_code(int sig) {
    return 128 + sig;
}

// What a command on one host ended with: the agent's final status passed on, an
// Outcome of the station's own, or the signal that ended the station meanwhile.
// Tagged, so that the kinds are never compared with each other; success is one value,
// whichever kind it came as.
class CommandResult {
  public:
    constexpr CommandResult(Outcome o) : kind_(Kind::Station), code_(static_cast<int>(o)) {}
    constexpr CommandResult(Status s)
        : kind_(s == Status::Ok ? Kind::Station : Kind::Agent), code_(static_cast<int>(s)) {}
    static constexpr CommandResult interrupted(int sig) {
        return CommandResult(Kind::Signal, interrupted_code(sig));
    }

    constexpr bool ok() const { return code_ == 0; }
    // The exit status of the station for this result.
    constexpr int exit_code() const { return code_; }

    friend constexpr bool operator==(CommandResult, CommandResult) = default;

  private:
    enum class Kind : unsigned char { Station, Agent, Signal };
    constexpr CommandResult(Kind k, int c) : kind_(k), code_(c) {}
    Kind kind_;
    int code_;
};

// The meaning of an exit status or a host's code in the summary table: the agent's
// table for its codes, ours for the station's (129, 130 and 143: the station was
// interrupted by SIGHUP, SIGINT or SIGTERM), "killed by a signal" for other 128 + n.
const char *outcome_meaning(int code);
