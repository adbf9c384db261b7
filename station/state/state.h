// The station's state between runs, under $XDG_STATE_HOME/tarko (by default
// ~/.local/state/tarko): the hosts that failed in the last run, for @failed, and the
// audit log, one line per request, appended by every station that runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

// The state directory from the values of XDG_STATE_HOME and HOME (either may be null
// or empty). Returns 0 with the path in buf; 1 when neither gives one or it does not fit.
int state_dir(const char *xdg_state_home, const char *home, char *buf, std::size_t cap);

// Joins the state directory and a file name of it ("failed", "audit.log") into buf.
// Returns 0, or 1 when it does not fit.
int state_path(const char *dir, const char *name, char *buf, std::size_t cap);

// Creates the directory and those missing above it (mode 0700) and checks that the
// audit log can be opened for appending. Returns 0, or the errno value of the failure.
int state_prepare(const char *dir);

// Replaces the record of failed hosts with these names, one a line, through a temporary
// file renamed into place, so that a reader sees the old list or the new one. Returns 0
// or the errno value.
int state_write_failed(const char *dir, const char *const *hosts, std::size_t n);

// One request as the audit log keeps it. Texts may be null (written "-").
struct AuditRecord {
    std::time_t when = 0;
    const char *user = nullptr;
    const char *station = nullptr; // this host's name
    const char *command_line = nullptr;
    const char *host = nullptr; // the host the request went to
    const char *operation = nullptr;
    const char *path = nullptr;
    std::int64_t length = -1; // -1: not known
    bool has_checksum = false;
    std::uint32_t checksum = 0;
    int status = 0;
};

constexpr std::size_t AUDIT_LINE_CAP = 4096;

// Formats the record as one line: fields separated by tabs, time in UTC as
// 2026-12-09T04:20:30Z, tabs, newlines and backslashes inside texts written \t, \n, \\.
// Writes at most cap - 1 bytes and a terminator (texts are cut so the line still ends
// with its status and newline) and returns the length written.
std::size_t audit_format(const AuditRecord &r, char *buf, std::size_t cap);

// Appends the record's line to the audit log of dir with one write, so that lines of
// concurrent stations never interleave. Returns 0 or the errno value.
int audit_append(const char *dir, const AuditRecord &r);
