// The command that starts an agent for one host: the --agent template split on blanks,
// with every "{host}" in a word replaced by the host's name, and every "{hostkey}" by
// host_key of it.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct AgentArgv {
    std::vector<std::string> words; // the program, then its arguments
};

constexpr std::size_t HOST_KEY_CAP = 17; // sixteen hex digits and the terminator

// A short fixed-length name for host (sixteen hex digits of a hash of it), for file
// names that must stay short whatever the host's name.
void host_key(const char *host, char *out, std::size_t cap);

// Builds the argument list for host. Returns 0; 1 when the template has no word.
int agent_argv(const char *tmpl, const char *host, AgentArgv &out);

// Looks a program name without "/" up in the directories of path (a PATH value), as a
// shell would, and replaces out.words[0] with the first executable found. Returns 0 when
// words[0] holds a usable path afterwards (or contained "/" already); ENOENT when no
// directory has it.
int agent_resolve(AgentArgv &out, const char *path);

// True when the template names the host somewhere ("{host}" or "{hostkey}"), so that
// it needs -H.
bool agent_needs_host(const char *tmpl);
