// The Audium admin script runner: runs one admin script of an application under a time
// limit, answers its questions, logs its output and classifies it.
#pragma once

enum class ScriptResult : int {
    Running = 0,   // "is running.", "running." or "resumed."
    NoSuchApp = 1, // "is not a valid application name."
    Suspended = 2, // "suspended." or "suspended state."; also a time-out or failed run
    Updated = 3,   // "updated."
    Unknown = 4,   // nothing recognised
    Released = 6,  // "released from memory."
};

// Runs "%s/applications/%s/admin/<script>" (home, appl) with /bin/sh from that admin
// directory, limit seconds for its output and 15 more for it to end. Returns the class
// of the first recognised output line, Unknown when none was, Suspended when a limit
// expired or the script could not be started (or its path does not fit).
ScriptResult run_audium_script(const char *appl, const char *home, const char *script,
                               unsigned limit);

// 1 when line, with trailing '\n', '\r' and ' ' left aside, ends with phrase; else 0.
int end_matches(const char *line, const char *phrase);

// Runs the load sequence for a freshly deployed application: 0 loaded, 2 not.
int audium_server_load(const char *appl, const char *home);
