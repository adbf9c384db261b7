// Folded output of a fan-out: lines that hosts wrote alike become one line headed by
// the folded set of those hosts, and the summary table gets one row per result.
#pragma once

#include "fanout.h"

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

// The names as the shortest host expression that gives them ("ivr[01-03,07]").
std::string fold_hosts(const std::vector<const char *> &names);

// A line of hosts for the user: "HOSTS: text", except that a message of the station
// keeps the station's name first ("tarko_station: HOSTS: ..."), as with one host.
std::string headed_line(const std::string &hosts, const std::string &text);

// A line a host wrote, kept until the fan-out ends.
struct HostLine {
    std::size_t host; // index into the host list
    int stream;       // 1 standard output, 2 standard error
    std::string text; // without the host's name and without newline
};

// A line ready to be written: "HOSTS: text" and the stream it goes to.
struct FoldedLine {
    int stream;
    std::string line; // without newline
};

// Folds lines: those of one stream with the same text become one line headed by the
// folded set of their hosts. Lines stand in the order of their first host in the host
// list (those of one host in the order it wrote them), whatever order the hosts ended
// in. With fold false every line keeps its own host, in the order given.
std::vector<FoldedLine> fold_lines(const std::vector<HostLine> &lines, const char *const *hosts,
                                   bool fold);

// Prints the summary table with the hosts of one status in one row, its seconds those of
// the slowest host of the row: success first, then each failure in the order of its
// first host. Same columns as fanout_table.
void fold_table(FILE *f, const char *const *hosts, std::size_t n, const HostOutcome *out,
                const char *(*meaning)(int code));
