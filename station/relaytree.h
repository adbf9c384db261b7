// The schedule of a relay tree: the station sends a file once, to the first host, and
// hosts that hold a verified copy push it on to hosts that lack it, round by round. A
// host whose push failed is served by the station itself in the next round.
#pragma once

#include <cstddef>
#include <vector>

namespace station {

constexpr int FROM_STATION = -1;

// One transfer of a round: from a host (or FROM_STATION) to a host, by index.
struct Hop {
    int from = FROM_STATION;
    int to = 0;
};

enum class TreeHost {
    Lacking,  // waits for a copy from a holder
    Fallback, // a push to it failed: the station serves it
    Holding,  // holds a verified copy and serves others
    Spent,    // holds a copy, but a push from it failed: it serves no one more
    Failed,   // the station could not give it the file either
};

struct TreeState {
    std::vector<TreeHost> hosts;
    int per_holder = 1; // hosts each holder serves per round: 1 doubles the holders
};

// Starts the schedule for n hosts.
TreeState tree_start(std::size_t n, int per_holder);

// The hops of the next round, into hops: the station serves the first host in the
// first round and every Fallback host; each holder, in order, up to per_holder Lacking
// hosts, in order. Empty when no host is left to serve.
void tree_round(const TreeState &s, std::vector<Hop> &hops);

// Records the outcome of a hop: the target holds the file, or a push failed (the
// target falls back to the station, the holder serves no more) or a station put failed
// (the target has failed for good).
void tree_record(TreeState &s, const Hop &h, bool ok);

} // namespace station
