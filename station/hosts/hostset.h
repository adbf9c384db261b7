// Host sets: the host expressions of -H and -x, expanded into a list of names, and a
// list of names folded back into the shortest expression of that kind.
//
//   ivr07                 one host
//   ivr[01-03,7]          ivr01 ivr02 ivr03 ivr7 (a range keeps the zeros of its start)
//   rack[1-2]-n[1-2]      rack1-n1 rack1-n2 rack2-n1 rack2-n2
//   @web                  the group web of the site host file (it may name groups)
//   @failed               the hosts that failed in the last run
//   @SOURCE:GROUP         the hosts a source of the host file prints for GROUP
//   ^FILE                 one host expression per line of FILE ("#" starts a comment)
//
// Items are separated by commas or blanks; a host named twice is kept once, where it
// first stood. The host file holds lines "group: EXPRESSION..." and "@SOURCE = COMMAND"
// (see groupsource.h).
#pragma once

#include <cstddef>
#include <string>
#include <unordered_map>
#include <vector>

constexpr std::size_t SET_NAME_CAP = 64; // a host name, terminator included (the agent's)
// Not a fleet's size: a guard against a mistyped range eating the station's memory.
constexpr std::size_t SET_MAX_HOSTS = 1000000;

// As many hosts as memory holds; the index keeps adding and finding a name constant in
// time, so that sets of many thousands expand in a moment.
struct HostSet {
    std::vector<std::string> names;                     // in the order first named
    std::unordered_map<std::string, std::size_t> index; // name -> its place in names
};

// Where @group and @failed are looked up. A path left null has nothing in it.
struct HostSources {
    const char *hosts_file = nullptr;  // the site host file
    const char *failed_file = nullptr; // one host per line: the failures of the last run
};

// Why an expression was refused, and where: the text as written (an argument, a line
// of a file) and the position in it of the first byte at fault.
struct HostFault {
    char where[192] = {};   // "-H", "-x", or "FILE:LINE" for a line of a file
    char text[256] = {};    // the expression, cut to fit
    std::size_t column = 0; // 1 for its first byte
    char reason[192] = {};
};

// Expands expr (named where in faults) and appends its hosts to set, leaving out those
// it holds already. Returns 0; 1 with fault filled when the expression is malformed,
// names an unknown group or a file that cannot be read, or the set would hold more
// than SET_MAX_HOSTS hosts. On 1 the set may hold part of the expansion.
int hostset_add(HostSet &set, const char *expr, const char *where, const HostSources &src,
                HostFault &fault);

// Removes from set every host that expr expands to. Returns as hostset_add.
int hostset_remove(HostSet &set, const char *expr, const char *where, const HostSources &src,
                   HostFault &fault);

// The index of name in set, or -1 when it is not there.
long hostset_find(const HostSet &set, const char *name);

// Writes the fault as one line without newline: WHERE: "TEXT": position N: REASON.
void hostfault_format(const HostFault &fault, char *buf, std::size_t cap);

// Folds names into one expression that expands to exactly these names (duplicates
// dropped): names that differ only in their last number share a bracket, in rising
// order, with the zero padding of their family. Families stand in the order of their
// first name. Writes at most cap - 1 bytes and a terminator; returns the length of the
// whole expression, which is cap or more when it was cut.
std::size_t hostset_fold(const char *const *names, std::size_t n, char *out, std::size_t cap);

// The same fold, whole, however long.
std::string hostset_fold(const char *const *names, std::size_t n);
